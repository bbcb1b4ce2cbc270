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

// The desktop notification's heading for the `count` signatures a site made in a row, the
// latest being `record`: who was signed for, or how many signatures.
QString signatureNotificationSummary(const SignatureRecord& record, int count);
// The notification's text of the latest signature, as plain text: its certificate, the size
// of its data and the first 16 hex digits of the data's SHA-256.
QString signatureNotificationBody(const SignatureRecord& record);

}  // namespace quillmark
