#include "shell/close_request.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "support/file_descriptor.h"

namespace quillmark {
namespace {

// The pipe's two ends: the signal handler writes, the event loop reads.
FileDescriptor closePipeRead;
FileDescriptor closePipeWrite;

void onCloseSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a pending request.
    [[maybe_unused]] const ssize_t ignored = write(closePipeWrite.get(), &byte, 1);
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
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // the signals keep their default action: they still end the program
    closePipeRead.reset(ends[0]);
    closePipeWrite.reset(ends[1]);
    m_pNotifier = new QSocketNotifier(closePipeRead.get(), QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CloseRequestNotifier::drainPipe);
    setHandler(onCloseSignal);
}

CloseRequestNotifier::~CloseRequestNotifier() {
    if (m_pNotifier == nullptr) return;
    setHandler(SIG_DFL);
    delete m_pNotifier;
    closePipeRead.reset();
    closePipeWrite.reset();
}

void CloseRequestNotifier::drainPipe() {
    char bytes[64];
    while (read(closePipeRead.get(), bytes, sizeof bytes) > 0) {
    }
    emit closeRequested();
}

}  // namespace quillmark
