#pragma once

#include <QObject>

class QSocketNotifier;

namespace quillmark {

// Turns SIGTERM and SIGINT into a Qt signal on the main thread. SIGTERM is the close request
// that a newer copy of the agent sends; SIGINT is the interrupt key in a terminal. The signal
// handler only writes a byte to a pipe, which the event loop reads. While this object lives,
// it owns the handling of both signals; afterwards they have their default action again.
class CloseRequestNotifier : public QObject {
    Q_OBJECT

  public:
    explicit CloseRequestNotifier(QObject* parent = nullptr);
    ~CloseRequestNotifier() override;

  signals:
    void closeRequested();

  private:
    void drainPipe();

    QSocketNotifier* m_pNotifier = nullptr;
};

}  // namespace quillmark
