#pragma once

#include <QTreeWidget>

#include "shell/signature_history.h"

namespace quillmark {

// The signatures of the history, newest first: site, certificate, size of the data and the
// first 16 hex digits of its SHA-256.
class SignatureHistoryList : public QTreeWidget {
    Q_OBJECT

  public:
    SignatureHistoryList(const SignatureHistory& history, QWidget* parent = nullptr);

  private:
    void add(const SignatureRecord& record);
};

}  // namespace quillmark
