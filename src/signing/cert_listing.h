#pragma once

#include <optional>
#include <string>
#include <vector>

#include "keystore/certificate_store.h"
#include "keystore/nss_database.h"
#include "support/bytes.h"

namespace quillmark {

// The store whose opening failed, in the order they are opened.
enum class StoreStep { Root, Ca, My };

// The text of a store that could not be opened, in the log and in the reply alike.
const char* storeFailureText(StoreStep step);

struct StoreFailure {
    StoreStep step;
    NssErrorCode code;
};

// One listed user certificate: its display name (none when it does not fit), its serial
// text and its chain (DER, leaf first).
struct ListedCertificate {
    OptionalText name;
    std::string serial;
    std::vector<Bytes> chain;
};

// The user certificates in listing order, how many were visited (those left out for want
// of a chain included), or the store that could not be opened.
struct CertificateListing {
    std::vector<ListedCertificate> certificates;
    int visited = 0;
    std::optional<StoreFailure> failure;
};

// Lists every user certificate; logs each certificate that is left out or named no name,
// and a store failure with its code.
CertificateListing listCertificates(CertificateStore& store);

// The name as the listing reports it: cut to 127 UTF-16 code units, as a 128-unit name
// buffer holds, and left out (no result) when its UTF-8 form then needs more than 255 bytes.
OptionalText fitDisplayName(const std::string& utf8Name);

}  // namespace quillmark
