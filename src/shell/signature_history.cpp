#include "shell/signature_history.h"

namespace quillmark {

SignatureHistory::SignatureHistory() {
    for (SignatureRecord& record : readSignatureJournal())
        m_records.push_front(std::move(record));
}

void SignatureHistory::record(const SignatureRecord& record) {
    QMetaObject::invokeMethod(
        this, [this, record] { add(record); }, Qt::QueuedConnection);
}

void SignatureHistory::add(const SignatureRecord& record) {
    m_records.push_front(record);
    if (m_records.size() > kKept) m_records.pop_back();
    emit added(record);
}

}  // namespace quillmark
