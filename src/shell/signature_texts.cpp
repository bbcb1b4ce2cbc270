#include "shell/signature_texts.h"

#include "keystore/shown_text.h"

namespace quillmark {
namespace {

constexpr char kLocalProgram[] = "Một chương trình trên máy này";
constexpr char kBytes[] = " byte";

// "2026-01-31 14:05:09" of "2026-01-31 14:05:09 +0700": the offset is the user's own zone.
constexpr int kTimeToSeconds = 19;

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

}  // namespace quillmark
