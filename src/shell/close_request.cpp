#include "shell/close_request.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "support/file_descriptor.h"

namespace quillmark {
namespace {

// The pipe's two ends, open for the program's whole life: the signal handler writes, the
// notifier reads. Process-wide, as a signal handler reaches nothing else.
struct ClosePipe {
    FileDescriptor read;
    FileDescriptor write;
};
ClosePipe closePipe;

void onCloseSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a pending request.
    [[maybe_unused]] const ssize_t ignored = write(closePipe.write.get(), &byte, 1);
    errno = savedErrno;
}

}  // namespace

void installCloseRequestHandlers() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // the signals keep their default action: they still end the program
    closePipe.read.reset(ends[0]);
    closePipe.write.reset(ends[1]);
    struct sigaction action {};
    action.sa_handler = onCloseSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

CloseRequestNotifier::CloseRequestNotifier(QObject* parent) : QObject(parent) {
    if (!closePipe.read.isOpen()) return;
    auto* notifier = new QSocketNotifier(closePipe.read.get(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &CloseRequestNotifier::drainPipe);
}

void CloseRequestNotifier::drainPipe() {
    char bytes[64];
    while (read(closePipe.read.get(), bytes, sizeof bytes) > 0) {
    }
    emit closeRequested();
}

}  // namespace quillmark
