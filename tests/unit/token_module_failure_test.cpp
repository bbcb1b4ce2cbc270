#include "check/token_module_failure.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "temporary_state.h"

namespace quillmark {
namespace {

constexpr char kGeneralError[] =
    "A PKCS #11 module returned CKR_GENERAL_ERROR, indicating that an unrecoverable error has "
    "occurred.";

TokenModuleLoad failedStart(const std::string& library, const std::string& text) {
    return {{"module", library}, ModuleLoad::Failed, ModuleFailure::Start, text};
}

TokenModuleLoad softHsmStart() {
    return failedStart("/usr/lib/softhsm/libsofthsm2.so", kGeneralError);
}

// A module other than SoftHSM is told by what it returned, and the loader's message tells of
// a library that could not be loaded.
TEST(TokenModuleFailure, SaysWhatTheModuleOrTheLoaderSaid) {
    ModuleFailureReport report = explainModuleFailure(
        failedStart("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so",
                    "A PKCS #11 module returned CKR_DEVICE_ERROR, indicating that a problem "
                    "has occurred with the token or slot."));
    EXPECT_EQ(report.cause, "it did not start (CKR_DEVICE_ERROR)");
    EXPECT_EQ(report.advice, "Check the module's own settings, or remove its .module file.");
    report = explainModuleFailure(failedStart("/opt/vendor/libtoken.so", "Out of memory."));
    EXPECT_EQ(report.cause, "it did not start (Out of memory)");

    TokenModuleLoad library{{"vendor", "/opt/vendor/libtoken.so"},
                            ModuleLoad::Failed,
                            ModuleFailure::Library,
                            "libusb-1.0.so.0: cannot open shared object file: No such file"};
    report = explainModuleFailure(library);
    EXPECT_EQ(report.cause,
              "its library cannot be loaded (libusb-1.0.so.0: cannot open shared object file: "
              "No such file)");
    EXPECT_EQ(report.advice, "Reinstall its package, or remove its .module file.");
    library.failure = ModuleFailure::EntryPoint;
    EXPECT_EQ(explainModuleFailure(library).cause.rfind("its library is not a PKCS#11 module (", 0),
              0u);
}

// SoftHSM reads SOFTHSM2_CONF when set, and the user's own file before the system's; the cause
// is the first of the files it needs that is not there.
TEST(TokenModuleFailure, FindsWhichOfSoftHsmsFilesIsMissing) {
    const TemporaryDirectory home;
    const ScopedVariable homeVariable("HOME", home.path().c_str());
    const std::string named = home.path() + "/named.conf";
    {
        const ScopedVariable variable("SOFTHSM2_CONF", named.c_str());
        const ModuleFailureReport report = explainModuleFailure(softHsmStart());
        EXPECT_EQ(report.cause, "it did not start (CKR_GENERAL_ERROR), as its configuration file " +
                                    named + ", named by SOFTHSM2_CONF, is missing");
        EXPECT_EQ(report.advice,
                  "Set SOFTHSM2_CONF to a configuration file that exists, or unset it.");
    }

    const ScopedVariable unset("SOFTHSM2_CONF", nullptr);
    const std::string own = home.path() + "/.config/softhsm2/softhsm2.conf";
    std::filesystem::create_directories(home.path() + "/.config/softhsm2");
    const std::string tokens = home.path() + "/tokens";
    // Read as SoftHSM reads it: comments left out, blanks trimmed, the last one counting.
    std::ofstream(own) << "directories.tokendir = /elsewhere\n# directories.tokendir = /no\n"
                       << "  directories.tokendir=" << tokens << "  # mine\nlog.level = ERROR\n";
    ModuleFailureReport report = explainModuleFailure(softHsmStart());
    EXPECT_EQ(report.cause, "it did not start (CKR_GENERAL_ERROR), as its token folder " + tokens +
                                " is missing");
    EXPECT_EQ(report.advice,
              "Make that folder, or name one that exists as directories.tokendir in " + own + ".");

    std::filesystem::create_directories(tokens);
    report = explainModuleFailure(softHsmStart());
    EXPECT_EQ(report.cause, "it did not start (CKR_GENERAL_ERROR), though its configuration file " +
                                own + " and its token folder " + tokens + " can be read");
    EXPECT_EQ(report.advice, "Check the settings in " + own + " (see softhsm2.conf(5)).");
}

}  // namespace
}  // namespace quillmark
