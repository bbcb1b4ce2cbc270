#include "shell/allowed_sites_list.h"

#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "consent/consent_gate.h"

namespace quillmark {
namespace {

constexpr char kForget[] = "&Quên trang đã chọn";
constexpr char kNotSaved[] = "Không lưu được danh sách trang web được phép.";
constexpr int kFollowMilliseconds = 1000;

QStringList allowedSites() {
    QStringList sites;
    for (const std::string& site : userAllowedSites())
        sites << QString::fromStdString(site);
    return sites;
}

QStringList listed(const QListWidget& list) {
    QStringList sites;
    for (int row = 0; row < list.count(); ++row)
        sites << list.item(row)->text();
    return sites;
}

}  // namespace

AllowedSitesList::AllowedSitesList(QWidget* parent)
    : QWidget(parent),
      m_list(new QListWidget(this)),
      m_forget(new QPushButton(QString::fromUtf8(kForget), this)) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    layout->addWidget(m_forget, 0, Qt::AlignRight);
    m_forget->setAutoDefault(false);
    m_forget->setEnabled(false);
    connect(m_list, &QListWidget::currentRowChanged, this,
            [this](int row) { m_forget->setEnabled(row >= 0); });
    connect(m_forget, &QPushButton::clicked, this, &AllowedSitesList::forgetSelected);
    m_follow.setInterval(kFollowMilliseconds);
    connect(&m_follow, &QTimer::timeout, this, &AllowedSitesList::refresh);
}

void AllowedSitesList::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
    m_follow.start();
}

void AllowedSitesList::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    m_follow.stop();
}

// Rebuilt only when the sites changed, so that the selection stays.
void AllowedSitesList::refresh() {
    const QStringList sites = allowedSites();
    if (sites == listed(*m_list)) return;
    m_list->clear();
    m_list->addItems(sites);
}

void AllowedSitesList::forgetSelected() {
    const QListWidgetItem* item = m_list->currentItem();
    if (item == nullptr) return;
    if (!forgetAllowedSite(item->text().toStdString()))
        QMessageBox::warning(this, window()->windowTitle(), QString::fromUtf8(kNotSaved));
    refresh();
}

}  // namespace quillmark
