#include "shell/signature_notification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "shell/signature_texts.h"

namespace quillmark {
namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kApplication[] = "Quillmark";
constexpr char kIconName[] = "quillmark";  // the icon installed in the hicolor theme
constexpr int kServerDefaultTimeout = -1;
// A signature this soon after the site's previous one joins its notification.
constexpr std::chrono::seconds kRunGap(30);

QDBusMessage notifyMessage(unsigned replacedId, const SignatureRecord& latest, int count) {
    QDBusMessage notify =
        QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                       QLatin1String(kService), QStringLiteral("Notify"));
    // Notification servers may read the body as markup: the texts from the page are escaped.
    notify << QLatin1String(kApplication) << replacedId << QLatin1String(kIconName)
           << signatureNotificationSummary(latest, count)
           << signatureNotificationBody(latest).toHtmlEscaped() << QStringList() << QVariantMap()
           << kServerDefaultTimeout;
    return notify;
}

}  // namespace

void SignatureNotifications::show(const SignatureRecord& record) {
    const auto now = std::chrono::steady_clock::now();
    forgetEndedRuns(now);
    Run& run = m_runs[record.site];
    ++run.count;
    run.last = now;
    run.latest = record;
    // While the server has not given the notification's id, the update waits for it.
    if (!run.replyAwaited) send(record.site);
}

void SignatureNotifications::send(const std::string& site) {
    Run& run = m_runs[site];
    run.countShown = run.count;
    run.replyAwaited = true;
    const QDBusPendingCall call =
        QDBusConnection::sessionBus().asyncCall(notifyMessage(run.id, run.latest, run.count));
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, site](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<unsigned> reply = *finished;
                finished->deleteLater();
                Run& answered = m_runs[site];
                answered.replyAwaited = false;
                if (reply.isValid()) answered.id = reply.value();
                if (answered.countShown != answered.count) send(site);
            });
}

void SignatureNotifications::forgetEndedRuns(std::chrono::steady_clock::time_point now) {
    for (auto run = m_runs.begin(); run != m_runs.end();) {
        if (!run->second.replyAwaited && now - run->second.last > kRunGap)
            run = m_runs.erase(run);
        else
            ++run;
    }
}

}  // namespace quillmark
