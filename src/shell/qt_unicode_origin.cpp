#include "shell/qt_unicode_origin.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include "consent/unicode_origin.h"

namespace quillmark {
namespace {

// Qt shows a name in Unicode only for top-level domains it lists as safe; the round trip that
// unicodeOrigin checks, and the ASCII form shown beside, take that list's place here.
constexpr QUrl::AceProcessingOptions kAnyDomain = QUrl::IgnoreIDNWhitelist;

// QUrl::fromAce gives the name back as it came when it cannot decode it.
std::string toUnicode(const std::string& asciiHost) {
    return QUrl::fromAce(QByteArray::fromStdString(asciiHost), kAnyDomain).toStdString();
}

std::string toAscii(const std::string& unicodeHost) {
    return QUrl::toAce(QString::fromStdString(unicodeHost), kAnyDomain).toStdString();
}

}  // namespace

std::string qtUnicodeOrigin(const std::string& origin) {
    return unicodeOrigin(origin, HostNameCodec{toUnicode, toAscii});
}

}  // namespace quillmark
