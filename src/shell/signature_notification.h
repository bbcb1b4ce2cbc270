#pragma once

#include "signing/signature_trace.h"

namespace quillmark {

// Tells the user of a signature with a desktop notification (org.freedesktop.Notifications on
// the session bus): the site, the certificate, the size of the data and the first 16 hex digits
// of its SHA-256. Sent without waiting for the notification server; without one, the main
// window's list is the trace left.
void showSignatureNotification(const SignatureRecord& record);

}  // namespace quillmark
