#pragma once

#include <atomic>
#include <functional>
#include <optional>

#include "keystore/found_keys.h"
#include "keystore/nss_database.h"
#include "keystore/p11_kit_registry.h"
#include "keystore/token_certificates.h"
#include "keystore/token_logins.h"
#include "support/dialog_turns.h"

namespace quillmark {

// What the keystore keeps from one request to the next, beside NSS's own state: the user's
// database as opened, what requests found, which site each token's login belongs to, the
// token module folders as last loaded, the removable slots as last reported, and how many
// requests wait at PIN dialogs. One per agent: the store workers own it and let one request at
// a time work on it, through a StoreHandle.
struct CertificateStore {
    OpenedDatabase database;
    FoundKeys found;
    TokenLogins logins;
    std::optional<ModuleFolders> moduleFolders;
    ReportedSlots slots;
    // Changed with the store given up: a request counts itself in before it gives the store
    // up for a PIN dialog and out after it has taken it back.
    std::atomic<int> atPinDialogs{0};
};

// One request's hold on the certificate store. The store worker that runs the request makes it
// while it holds the store's lock, which is the request's work lock, and passes it down to
// whatever works on the store. A PIN dialog gives the lock up for its turn and takes it back
// when the turn ends (dialogTurn). Without a request (a program of its own, a test) nothing is
// given up.
class StoreHandle {
  public:
    StoreHandle(CertificateStore& store, const RequestScope* request)
        : store_(store), request_(request) {}

    CertificateStore& store() const { return store_; }
    const RequestScope* request() const { return request_; }

    // The request's dialog turn: the store's lock is given up until the turn ends, and taken
    // back then. `closeDialog` closes the dialog shown if the request is abandoned meanwhile.
    DialogTurn dialogTurn(std::function<void()> closeDialog) const {
        return DialogTurn(request_, std::move(closeDialog));
    }

  private:
    CertificateStore& store_;
    const RequestScope* request_;
};

}  // namespace quillmark
