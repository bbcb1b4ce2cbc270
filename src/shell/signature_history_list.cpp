#include "shell/signature_history_list.h"

#include <QHeaderView>

#include "shell/signature_texts.h"

namespace quillmark {
namespace {

constexpr const char* kColumns[] = {"Thời gian", "Trang web", "Chứng thư", "Dữ liệu", "SHA-256"};

QStringList columnTexts(const SignatureRecord& record) {
    return {signatureTimeText(record), signatureSiteText(record), signatureCertificateText(record),
            signatureSizeText(record), QString::fromStdString(shortDigest(record))};
}

}  // namespace

SignatureHistoryList::SignatureHistoryList(const SignatureHistory& history, QWidget* parent)
    : QTreeWidget(parent) {
    QStringList headers;
    for (const char* column : kColumns)
        headers << QString::fromUtf8(column);
    setHeaderLabels(headers);
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::NoSelection);
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    for (auto record = history.records().rbegin(); record != history.records().rend(); ++record)
        add(*record);
    connect(&history, &SignatureHistory::added, this, &SignatureHistoryList::add);
}

// Newest first, as many as the history keeps.
void SignatureHistoryList::add(const SignatureRecord& record) {
    insertTopLevelItem(0, new QTreeWidgetItem(columnTexts(record)));
    while (topLevelItemCount() > static_cast<int>(SignatureHistory::kKept))
        delete takeTopLevelItem(topLevelItemCount() - 1);
}

}  // namespace quillmark
