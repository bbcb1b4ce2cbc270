#include "shell/signature_notification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

#include "shell/signature_texts.h"

namespace quillmark {
namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kApplication[] = "Quillmark";
constexpr char kIconName[] = "quillmark";  // the icon installed in the hicolor theme
constexpr char kSigned[] = "Đã ký số cho ";
constexpr char kCertificate[] = "Chứng thư “%1”\n%2 dữ liệu, SHA-256 %3";
constexpr int kServerDefaultTimeout = -1;

QString summary(const SignatureRecord& record) {
    return QString::fromUtf8(kSigned) + signatureSiteText(record);
}

// Notification servers may read the body as markup: the texts from the page are escaped.
QString body(const SignatureRecord& record) {
    return QString::fromUtf8(kCertificate)
        .arg(signatureCertificateText(record), signatureSizeText(record),
             QString::fromStdString(shortDigest(record)))
        .toHtmlEscaped();
}

}  // namespace

void showSignatureNotification(const SignatureRecord& record) {
    QDBusMessage notify =
        QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                       QLatin1String(kService), QStringLiteral("Notify"));
    notify << QLatin1String(kApplication) << 0u << QLatin1String(kIconName) << summary(record)
           << body(record) << QStringList() << QVariantMap() << kServerDefaultTimeout;
    QDBusConnection::sessionBus().call(notify, QDBus::NoBlock);
}

}  // namespace quillmark
