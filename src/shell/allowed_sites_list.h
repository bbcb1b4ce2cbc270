#pragma once

#include <QTimer>
#include <QWidget>

class QListWidget;
class QPushButton;

namespace quillmark {

// The sites the user allowed (the user's list, not the administrator's), with a button that
// forgets the one selected: its next request asks again. While shown, the list follows the
// file: a site allowed in a dialog, or an edit of the file, appears within a second.
class AllowedSitesList : public QWidget {
    Q_OBJECT

  public:
    explicit AllowedSitesList(QWidget* parent = nullptr);

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void refresh();
    void forgetSelected();

    QListWidget* m_list;
    QPushButton* m_forget;
    QTimer m_follow;
};

}  // namespace quillmark
