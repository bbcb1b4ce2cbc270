#pragma once

#include <QObject>
#include <cstddef>
#include <deque>

#include "signing/signature_journal.h"

namespace quillmark {

// The last signatures made, newest first, for the main window's list: those of the signature
// journal at start, then those made since. It lives on the GUI thread from before the server
// starts until after it stops, so that no signature is missed, even one made before the
// window exists.
class SignatureHistory : public QObject {
    Q_OBJECT

  public:
    static constexpr std::size_t kKept = kJournalKept;

    SignatureHistory();

    // Hands the record to the GUI thread; called on the signing thread.
    void record(const SignatureRecord& record);

    const std::deque<SignatureRecord>& records() const { return m_records; }

  signals:
    // On the GUI thread, once the record is kept.
    void added(const SignatureRecord& record);

  private:
    void add(const SignatureRecord& record);

    std::deque<SignatureRecord> m_records;
};

}  // namespace quillmark
