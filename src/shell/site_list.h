#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace quillmark {

// A site as a list shows it: one the user may act on, or one shown read-only, with a mark; or
// a whole registrable domain, named as such.
struct ListedSite {
    std::string origin;  // the domain, for a whole domain
    bool readOnly = false;
    bool wholeDomain = false;

    bool operator==(const ListedSite& other) const {
        return origin == other.origin && readOnly == other.readOnly &&
               wholeDomain == other.wholeDomain;
    }
};

// A button under the list that acts on the selected site; false when what it changed could
// not be saved. Only a button that says so acts on a whole domain.
struct SiteAction {
    QString label;
    std::function<bool(const std::string& origin)> act;
    bool actsOnDomains = false;
};

// A list of sites, an optional note above it and a row of actions under it. While shown, the
// list follows where the sites are kept: a change (a dialog's answer, an edit of a file)
// appears within a second. The buttons act only on a site the user may change.
class SiteList : public QWidget {
    Q_OBJECT

  public:
    SiteList(std::function<std::vector<ListedSite>()> sites, std::vector<SiteAction> actions,
             const QString& note, QWidget* parent);

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void refresh();
    static bool actsOn(const QListWidgetItem* item, bool actsOnDomains);
    void enableActions();
    void act(const SiteAction& action);

    std::function<std::vector<ListedSite>()> m_sites;
    std::vector<ListedSite> m_listed;
    QListWidget* m_list;
    std::vector<QPushButton*> m_buttons;
    std::vector<bool> m_actsOnDomains;  // for each button
    QTimer m_follow;
};

}  // namespace quillmark
