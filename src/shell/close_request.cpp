#include "shell/close_request.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace quillmark {
namespace {

// Written by the signal handler, read by the notifier; open for the program's whole life.
int closePipe[2] = {-1, -1};

void onCloseSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a pending request.
    [[maybe_unused]] const ssize_t ignored = write(closePipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

void installCloseRequestHandlers() {
    if (pipe2(closePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // the signals keep their default action: they still end the program
    struct sigaction action {};
    action.sa_handler = onCloseSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

CloseRequestNotifier::CloseRequestNotifier(QObject* parent) : QObject(parent) {
    if (closePipe[0] < 0) return;
    auto* notifier = new QSocketNotifier(closePipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &CloseRequestNotifier::drainPipe);
}

void CloseRequestNotifier::drainPipe() {
    char bytes[64];
    while (read(closePipe[0], bytes, sizeof bytes) > 0) {
    }
    emit closeRequested();
}

}  // namespace quillmark
