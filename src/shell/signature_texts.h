#pragma once

#include <QString>

#include "signing/signature_trace.h"

namespace quillmark {

// How the main window's list and the desktop notification name the parts of a signature, as
// plain text: the local time (to the second), the site (or a program of the user's own), the
// certificate, the size of the data.
QString signatureTimeText(const SignatureRecord& record);
QString signatureSiteText(const SignatureRecord& record);
QString signatureCertificateText(const SignatureRecord& record);
QString signatureSizeText(const SignatureRecord& record);

}  // namespace quillmark
