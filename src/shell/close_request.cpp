#include "shell/close_request.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace quillmark {
namespace {

int closePipe[2] = {-1, -1};

void onCloseSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a pending request.
    [[maybe_unused]] const ssize_t ignored = write(closePipe[1], &byte, 1);
    errno = savedErrno;
}

void setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

CloseRequestNotifier::CloseRequestNotifier(QObject* parent) : QObject(parent) {
    if (pipe2(closePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // the signals keep their default action: they still end the program
    m_pNotifier = new QSocketNotifier(closePipe[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CloseRequestNotifier::drainPipe);
    setHandler(onCloseSignal);
}

CloseRequestNotifier::~CloseRequestNotifier() {
    if (m_pNotifier == nullptr) return;
    setHandler(SIG_DFL);
    delete m_pNotifier;
    close(closePipe[0]);
    close(closePipe[1]);
    closePipe[0] = closePipe[1] = -1;
}

void CloseRequestNotifier::drainPipe() {
    char bytes[64];
    while (read(closePipe[0], bytes, sizeof bytes) > 0) {
    }
    emit closeRequested();
}

}  // namespace quillmark
