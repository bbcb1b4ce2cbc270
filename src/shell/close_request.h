#pragma once

#include <QObject>

namespace quillmark {

// Installs the handlers of SIGTERM (the close request that a newer copy of the agent sends)
// and SIGINT (the interrupt key in a terminal). The handler only writes a byte to a pipe, which
// CloseRequestNotifier reads on the main thread. Called once, after the older copies have
// been closed.
void installCloseRequestHandlers();

// Turns the close requests caught by those handlers into a Qt signal on the main thread.
class CloseRequestNotifier : public QObject {
    Q_OBJECT

  public:
    explicit CloseRequestNotifier(QObject* parent = nullptr);

  signals:
    void closeRequested();

  private:
    void drainPipe();
};

}  // namespace quillmark
