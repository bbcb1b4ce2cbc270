#include "shell/signature_texts.h"

#include "dialogs/shown_text.h"

namespace quillmark {
namespace {

constexpr char kLocalProgram[] = "Một chương trình trên máy này";
// The same inside a sentence, after "cho".
constexpr char kLocalProgramInSentence[] = "một chương trình trên máy này";
constexpr char kBytes[] = " byte";
constexpr char kSignedFor[] = "Đã ký số cho %1";
constexpr char kSignaturesFor[] = "%1 chữ ký cho %2";
constexpr char kSignatureDetails[] = "Chứng thư “%1”\n%2 dữ liệu, SHA-256 %3";

// "2026-01-31 14:05:09" of "2026-01-31 14:05:09 +0700": the offset is the user's own zone.
constexpr int kTimeToSeconds = 19;

QString siteInSentence(const SignatureRecord& record) {
    if (record.site.empty()) return QString::fromUtf8(kLocalProgramInSentence);
    return signatureSiteText(record);
}

}  // namespace

QString signatureTimeText(const SignatureRecord& record) {
    return QString::fromStdString(shownText(record.time, false)).left(kTimeToSeconds);
}

QString signatureSiteText(const SignatureRecord& record) {
    if (record.site.empty()) return QString::fromUtf8(kLocalProgram);
    return QString::fromStdString(shownText(record.site, true));
}

QString signatureCertificateText(const SignatureRecord& record) {
    return QString::fromStdString(shownText(record.certificate, false));
}

QString signatureSizeText(const SignatureRecord& record) {
    return QString::number(record.dataSize) + QString::fromUtf8(kBytes);
}

QString signatureNotificationSummary(const SignatureRecord& record, int count) {
    if (count <= 1) return QString::fromUtf8(kSignedFor).arg(siteInSentence(record));
    return QString::fromUtf8(kSignaturesFor).arg(count).arg(siteInSentence(record));
}

QString signatureNotificationBody(const SignatureRecord& record) {
    return QString::fromUtf8(kSignatureDetails)
        .arg(signatureCertificateText(record), signatureSizeText(record),
             QString::fromStdString(shortDigest(record)));
}

}  // namespace quillmark
