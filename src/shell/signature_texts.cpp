#include "shell/signature_texts.h"

#include "keystore/shown_text.h"

namespace quillmark {
namespace {

constexpr char kLocalProgram[] = "Một chương trình trên máy này";
constexpr char kBytes[] = " byte";

}  // namespace

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
