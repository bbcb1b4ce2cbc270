#pragma once

#include <QObject>
#include <chrono>
#include <map>
#include <string>

#include "signing/signature_trace.h"

namespace quillmark {

// Tells the user of signatures with desktop notifications (org.freedesktop.Notifications on
// the session bus). A site's signatures that follow each other within a short while share one
// notification, updated in place through its replace id ("3 chữ ký cho …") rather than stacked.
// Sent without waiting for the notification server; without one, the main window's list is the
// trace left. Lives on the GUI thread.
class SignatureNotifications : public QObject {
  public:
    void show(const SignatureRecord& record);

  private:
    // The notification of one site's run of signatures.
    struct Run {
        unsigned id = 0;  // the server's id for it; 0 until it answered
        int count = 0;
        int countShown = 0;
        bool replyAwaited = false;
        std::chrono::steady_clock::time_point last;
        SignatureRecord latest;
    };

    void send(const std::string& site);
    void forgetEndedRuns(std::chrono::steady_clock::time_point now);

    std::map<std::string, Run> m_runs;
};

}  // namespace quillmark
