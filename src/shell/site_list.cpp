#include "shell/site_list.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <chrono>

#include "dialogs/shown_text.h"
#include "shell/main_window_texts.h"

namespace quillmark {
namespace {

constexpr std::chrono::seconds kFollowInterval(1);
constexpr int kOriginRole = Qt::UserRole;
constexpr int kWholeDomainRole = Qt::UserRole + 1;

// An origin may come from a page's request: it is shown as a dialog shows it, and kept
// byte for byte beside the text for the actions.
QListWidgetItem* itemFor(const ListedSite& site) {
    QString text = QString::fromStdString(shownText(site.origin, true));
    if (site.wholeDomain) text = QString::fromUtf8(kWholeDomainSite).arg(text);
    if (site.readOnly) text += QString::fromUtf8(kAdministratorSiteMark);
    auto* item = new QListWidgetItem(text);
    item->setData(kOriginRole, QByteArray::fromStdString(site.origin));
    item->setData(kWholeDomainRole, site.wholeDomain);
    if (site.readOnly) item->setFlags(Qt::ItemIsEnabled);
    return item;
}

}  // namespace

SiteList::SiteList(std::function<std::vector<ListedSite>()> sites, std::vector<SiteAction> actions,
                   const QString& note, QWidget* parent)
    : QWidget(parent), m_sites(std::move(sites)), m_list(new QListWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    if (!note.isEmpty()) {
        auto* label = new QLabel(note, this);
        label->setWordWrap(true);
        layout->addWidget(label);
    }
    layout->addWidget(m_list, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    for (SiteAction& action : actions) {
        auto* button = new QPushButton(action.label, this);
        button->setAutoDefault(false);
        button->setEnabled(false);
        m_actsOnDomains.push_back(action.actsOnDomains);
        connect(button, &QPushButton::clicked, this,
                [this, act = std::move(action)] { this->act(act); });
        buttons->addWidget(button);
        m_buttons.push_back(button);
    }
    layout->addLayout(buttons);
    connect(m_list, &QListWidget::currentItemChanged, this, &SiteList::enableActions);
    m_follow.setInterval(kFollowInterval);
    connect(&m_follow, &QTimer::timeout, this, &SiteList::refresh);
}

void SiteList::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
    m_follow.start();
}

void SiteList::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    m_follow.stop();
}

// Rebuilt only when the sites changed, so that the selection stays.
void SiteList::refresh() {
    std::vector<ListedSite> sites = m_sites();
    if (sites == m_listed) return;
    m_listed = std::move(sites);
    m_list->clear();
    for (const ListedSite& site : m_listed)
        m_list->addItem(itemFor(site));
    enableActions();
}

bool SiteList::actsOn(const QListWidgetItem* item, bool actsOnDomains) {
    return item != nullptr && (item->flags() & Qt::ItemIsSelectable) != 0 &&
           (actsOnDomains || !item->data(kWholeDomainRole).toBool());
}

void SiteList::enableActions() {
    const QListWidgetItem* item = m_list->currentItem();
    for (std::size_t index = 0; index < m_buttons.size(); ++index)
        m_buttons[index]->setEnabled(actsOn(item, m_actsOnDomains[index]));
}

void SiteList::act(const SiteAction& action) {
    const QListWidgetItem* item = m_list->currentItem();
    if (!actsOn(item, action.actsOnDomains)) return;
    if (!action.act(item->data(kOriginRole).toByteArray().toStdString()))
        QMessageBox::warning(this, window()->windowTitle(), QString::fromUtf8(kSitesNotSaved));
    refresh();
}

}  // namespace quillmark
