// The keystore's PIN rules, run against a real NSS database whose SoftHSM token holds the
// certificate, with the PIN dialogs answered by a script. test_keystore_pins.py makes HOME
// (the database), the token, and names the certificate in QUILLMARK_TEST_SERIAL; on a token
// behind a keypad it names the test module's control file in PIN_PAD_TOKEN_CONTROL.
#include <gtest/gtest.h>
#include <pk11pub.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "keystore/cert_search.h"
#include "keystore/cert_signing.h"
#include "keystore/certificate_store.h"
#include "keystore/keypad_login.h"
#include "keystore/nss_database.h"
#include "keystore/pin_prompter.h"
#include "keystore/token_pin_callback.h"
#include "support/hex.h"

using namespace quillmark;

namespace {

constexpr char kPin[] = "4321";
constexpr char kCancel[] = "cancel";
constexpr char kSite[] = "https://portal.example.vn";
constexpr char kOtherSite[] = "https://other.example.vn";

// What one dialog was asked.
struct Asked {
    std::string origin;
    SecretKind kind;
    bool afterWrongPin;
};

// The user at the keypad: writes what they do into the test module's control file.
void atTheReader(const std::string& outcome) {
    const std::string control = std::getenv("PIN_PAD_TOKEN_CONTROL");
    std::ofstream(control + ".new") << "pin " << kPin << "\nwait 3000\noutcome " << outcome << "\n";
    std::rename((control + ".new").c_str(), control.c_str());
}

// A keypad dialog that stays up until it is closed, or that the user cancelled at once.
class ScriptedWait : public KeypadWaitDialog {
  public:
    explicit ScriptedWait(bool cancelled) : cancelled_(cancelled) {}
    bool ended() const override { return cancelled_; }
    PinDialogOutcome finish() override {
        return cancelled_ ? PinDialogOutcome::Cancelled : PinDialogOutcome::Answered;
    }

  private:
    const bool cancelled_;
};

// Answers each dialog with the next of its answers: a PIN, kCancel, or, at the keypad, what the
// user does there ("login", "wrong-pin", kCancel). With none left, no dialog can be shown.
class ScriptedPinPrompter : public PinPrompter {
  public:
    explicit ScriptedPinPrompter(std::deque<std::string> answers) : answers_(std::move(answers)) {}

    PinDialogOutcome askPin(const PinQuestion& question, Secret& pin) override {
        const std::string answer = next(question);
        if (answer.empty()) return PinDialogOutcome::NotShown;
        if (answer == kCancel) return PinDialogOutcome::Cancelled;
        for (const char c : answer)
            pin.append(c);
        pin.markValid();
        return PinDialogOutcome::Answered;
    }

    std::unique_ptr<KeypadWaitDialog> showKeypadWait(const PinQuestion& question,
                                                     std::function<void()>) override {
        const std::string answer = next(question);
        if (answer != kCancel) atTheReader(answer);
        return std::make_unique<ScriptedWait>(answer == kCancel);
    }

    void closeShown() override {}

    std::vector<Asked> asked;

  private:
    std::string next(const PinQuestion& question) {
        asked.push_back({question.context->origin, question.kind, question.afterWrongPin});
        if (answers_.empty()) return "";
        std::string answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    std::deque<std::string> answers_;
};

class KeystorePins : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(openPersonalStore(store_));
        const OptionalBytes serial = hexToBytes(std::getenv("QUILLMARK_TEST_SERIAL"));
        ASSERT_TRUE(serial);
        certificate_ = findUserCertificate(store_, *serial);
        ASSERT_TRUE(certificate_);
        PK11_Logout(certificate_->slot);
    }

    // Looks for the certificate's key for the site, answering its dialogs with `prompter`.
    bool keyFound(const std::string& origin, ScriptedPinPrompter& prompter,
                  PinDialogOutcome* outcome = nullptr) {
        PinSession session(handle_, PinPromptContext{origin, "An"}, &prompter);
        const PrivateKeyPtr key = findPrivateKey(certificate_.get(), session);
        if (outcome != nullptr) *outcome = session.outcome;
        return key != nullptr;
    }

    CertificateStore store_;
    const StoreHandle handle_{store_, nullptr};
    CertificatePtr certificate_;
};

TEST_F(KeystorePins, APinServesItsSiteAloneUntilTheTokenLogsOut) {
    ScriptedPinPrompter prompter({kPin, kPin, kPin});
    EXPECT_TRUE(keyFound(kSite, prompter));
    EXPECT_TRUE(keyFound(kSite, prompter));  // a batch of one site asks once
    ASSERT_EQ(prompter.asked.size(), 1u);
    EXPECT_EQ(prompter.asked[0].origin, kSite);
    EXPECT_EQ(prompter.asked[0].kind, SecretKind::TokenPin);

    EXPECT_TRUE(keyFound(kOtherSite, prompter));  // another site types the PIN itself
    ASSERT_EQ(prompter.asked.size(), 2u);
    EXPECT_EQ(prompter.asked[1].origin, kOtherSite);

    // The kept key no longer serves once the token logged out.
    PK11_Logout(certificate_->slot);
    EXPECT_TRUE(keyFound(kOtherSite, prompter));
    EXPECT_EQ(prompter.asked.size(), 3u);
}

TEST_F(KeystorePins, AWrongPinIsAskedOnceMoreThenRefused) {
    ScriptedPinPrompter retried({"0000", kPin});
    EXPECT_TRUE(keyFound(kSite, retried));
    ASSERT_EQ(retried.asked.size(), 2u);
    EXPECT_FALSE(retried.asked[0].afterWrongPin);
    EXPECT_TRUE(retried.asked[1].afterWrongPin);

    PK11_Logout(certificate_->slot);
    ScriptedPinPrompter wrongTwice({"0000", "1111", kPin});
    PinDialogOutcome outcome = PinDialogOutcome::NotAsked;
    EXPECT_FALSE(keyFound(kSite, wrongTwice, &outcome));
    EXPECT_EQ(wrongTwice.asked.size(), 2u);
    EXPECT_EQ(outcome, PinDialogOutcome::Answered);  // answered, with PINs the token refused
}

TEST_F(KeystorePins, ACancelOrNoDialogGivesNoKeyAndSaysWhy) {
    ScriptedPinPrompter cancelled({kCancel});
    PinDialogOutcome outcome = PinDialogOutcome::NotAsked;
    EXPECT_FALSE(keyFound(kSite, cancelled, &outcome));
    EXPECT_EQ(outcome, PinDialogOutcome::Cancelled);
    EXPECT_EQ(cancelled.asked.size(), 1u);

    ScriptedPinPrompter none({});
    EXPECT_FALSE(keyFound(kSite, none, &outcome));
    EXPECT_EQ(outcome, PinDialogOutcome::NotShown);

    PinSession withoutPrompter(handle_, PinPromptContext{kSite, "An"}, nullptr);
    EXPECT_FALSE(findPrivateKey(certificate_.get(), withoutPrompter));
    EXPECT_EQ(withoutPrompter.outcome, PinDialogOutcome::NotShown);
}

// On a token behind a keypad (PIN_PAD_TOKEN_CONTROL set).
class KeypadPins : public KeystorePins {
  protected:
    void TearDown() override { waitForKeypadLogins(); }
};

TEST_F(KeypadPins, ThePinTypedOnTheReaderLogsInAndACancelAnswersAtOnce) {
    ScriptedPinPrompter prompter({"wrong-pin", "login", kCancel});
    EXPECT_TRUE(keyFound(kSite, prompter));
    ASSERT_EQ(prompter.asked.size(), 2u);
    EXPECT_EQ(prompter.asked[0].kind, SecretKind::KeypadPin);
    EXPECT_TRUE(prompter.asked[1].afterWrongPin);

    // Another site's request logs the token out and waits at the reader; the user cancels.
    PinDialogOutcome outcome = PinDialogOutcome::NotAsked;
    EXPECT_FALSE(keyFound(kOtherSite, prompter, &outcome));
    EXPECT_EQ(outcome, PinDialogOutcome::Cancelled);
    EXPECT_EQ(prompter.asked.size(), 3u);
}

}  // namespace
