#include "consent/allowed_sites.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "consent/consent_gate.h"
#include "support/dialog_turns.h"
#include "support/log_file.h"
#include "temporary_state.h"

using namespace quillmark;

namespace {

std::string contentsOf(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

ConsentQuestion question(const std::string& site) {
    ConsentQuestion asked;
    asked.site = site;
    return asked;
}

// Denies every question, and counts them.
class DenyingPrompter : public ConsentPrompter {
  public:
    explicit DenyingPrompter(int& asked) : asked_(asked) {}
    ConsentAnswer ask(const ConsentQuestion&) override {
        ++asked_;
        return ConsentAnswer::Deny;
    }
    void cancel() override {}

  private:
    int& asked_;
};

// Answers each question with the next answer given, and tells whether the asking request's
// work lock was free while it was asked.
class ScriptedPrompter : public ConsentPrompter {
  public:
    ScriptedPrompter(std::vector<ConsentAnswer> answers, std::mutex& work, int& asked,
                     int& workFree)
        : answers_(std::move(answers)), work_(work), asked_(asked), workFree_(workFree) {}
    ConsentAnswer ask(const ConsentQuestion&) override {
        if (work_.try_lock()) {
            work_.unlock();
            ++workFree_;
        }
        return answers_.at(asked_++);
    }
    void cancel() override {}

  private:
    std::vector<ConsentAnswer> answers_;
    std::mutex& work_;
    int& asked_;
    int& workFree_;
};

}  // namespace

// Written as the agent writes it, edited by hand, then a site forgotten: each change counts at
// the next question, and the user's comments survive.
TEST(SitesFile, AddsEditsAndForgetsKeepingComments) {
    char folder[] = "/tmp/quillmark-sites-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/quillmark/allowed-sites";
    SitesFile sites(path, geteuid());
    EXPECT_FALSE(sites.contains("https://a.example"));

    EXPECT_FALSE(sites.add("https://b.example\nhttps://evil.example"));
    ASSERT_TRUE(sites.add("https://a.example"));
    EXPECT_TRUE(sites.contains("https://a.example"));
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    std::ofstream(path) << "# mine\n\t https://b.example  # the portal\nnull\nhttps://c.example";
    EXPECT_FALSE(sites.contains("https://a.example"));
    EXPECT_TRUE(sites.contains("https://b.example"));
    EXPECT_FALSE(sites.contains("null"));
    EXPECT_EQ(sites.origins(),
              (std::vector<std::string>{"https://b.example", "https://c.example"}));

    ASSERT_TRUE(sites.remove("https://b.example"));
    EXPECT_FALSE(sites.contains("https://b.example"));
    EXPECT_EQ(contentsOf(path), "# mine\nnull\nhttps://c.example\n");
    std::filesystem::remove_all(folder);
}

// Trusted only while the file and its folder are the owner's alone; a file that is not is
// ignored with one log line per change, and never written, nor what a link names.
TEST(SitesFile, TrustsOnlyTheOwnersPrivateRegularFile) {
    char folder[] = "/tmp/quillmark-sites-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/allowed-sites";
    const std::string site = "https://a.example";
    std::ofstream(path) << "\xEF\xBB\xBF" << site << "\n";
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    SitesFile sites(path, geteuid());
    EXPECT_TRUE(sites.contains(site));
    EXPECT_FALSE(SitesFile(path, geteuid() + 1).contains(site));

    ASSERT_EQ(chmod(path.c_str(), 0664), 0);
    EXPECT_FALSE(sites.contains(site));
    EXPECT_FALSE(sites.contains(site));
    EXPECT_FALSE(sites.add("https://b.example"));
    EXPECT_EQ(countOf(contentsOf(logFilePath()), path + " may be written by others"), 1u);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    EXPECT_TRUE(sites.contains(site));
    ASSERT_EQ(chmod(folder, 0757), 0);
    EXPECT_FALSE(sites.contains(site));
    ASSERT_EQ(chmod(folder, 0700), 0);

    const std::string elsewhere = std::string(folder) + "/elsewhere";
    ASSERT_EQ(rename(path.c_str(), elsewhere.c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
    EXPECT_FALSE(sites.contains(site));
    EXPECT_FALSE(sites.add("https://b.example"));
    EXPECT_EQ(contentsOf(elsewhere), "\xEF\xBB\xBF" + site + "\n");

    ASSERT_EQ(unlink(path.c_str()), 0);
    std::ofstream(path) << site << "\n" << std::string(1 << 20, '#');
    EXPECT_FALSE(sites.contains(site));
    std::filesystem::remove_all(folder);
}

// A refusal lasts the run unless undone: by the window's allow or forget, or by the site
// written into the user's list by hand; the site's removal from the list asks again.
TEST(ConsentGate, RefusalsAreListedAndUndone) {
    TemporaryDirectory config;
    const ScopedVariable variable("XDG_CONFIG_HOME", config.path().c_str());
    int asked = 0;
    DenyingPrompter prompter(asked);
    const std::string first = "https://a.example", second = "https://b.example";
    for (const std::string& site : {first, second, first})
        EXPECT_FALSE(consentGiven(site, question(site), &prompter));
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(refusedSites(), (std::vector<RefusedSite>{{first}, {second}}));

    const std::string path = config.path() + "/quillmark/allowed-sites";
    std::filesystem::create_directories(config.path() + "/quillmark");
    std::ofstream(path) << first << "\n";
    EXPECT_TRUE(consentGiven(first, question(first), &prompter));
    EXPECT_EQ(refusedSites(), std::vector<RefusedSite>{{second}});
    std::ofstream(path) << "# none\n";
    EXPECT_TRUE(needsConsent(first));

    forgetRefusal(second);
    EXPECT_TRUE(needsConsent(second));
    EXPECT_FALSE(consentGiven(second, question(second), &prompter));
    ASSERT_TRUE(allowSite(second));
    EXPECT_TRUE(refusedSites().empty());
    EXPECT_EQ(contentsOf(path), "# none\n" + second + "\n");
    EXPECT_EQ(asked, 3);
}

// A page cannot bring a dialog for each of its subdomains: after three Deny answers within its
// registrable domain, the domain's other sites are refused unasked, and listed as the domain;
// forgetting the domain asks again. Sites of other domains, and allowed ones, are not touched.
TEST(ConsentGate, ThreeRefusalsWithinADomainRefuseItsOtherSitesUnasked) {
    TemporaryDirectory config;
    const ScopedVariable variable("XDG_CONFIG_HOME", config.path().c_str());
    int asked = 0;
    DenyingPrompter prompter(asked);
    const std::string allowed = "https://allowed.flood.example";
    ASSERT_TRUE(allowSite(allowed));
    for (int site = 0; site < 20; ++site) {
        const std::string origin = "https://s" + std::to_string(site) + ".flood.example";
        EXPECT_FALSE(consentGiven(origin, question(origin), &prompter));
    }
    EXPECT_EQ(asked, kRefusalsBeforeDomainRefused);
    const std::string another = "http://flood.example:8080";
    EXPECT_FALSE(needsConsent(another));
    EXPECT_EQ(siteStanding(another), SiteStanding::Refused);
    EXPECT_TRUE(consentGiven(allowed, question(allowed), &prompter));
    EXPECT_TRUE(needsConsent("https://flood.example.org"));
    EXPECT_EQ(refusedSites(), (std::vector<RefusedSite>{{"flood.example", true},
                                                        {"https://s0.flood.example"},
                                                        {"https://s1.flood.example"},
                                                        {"https://s2.flood.example"}}));
    EXPECT_FALSE(allowSite("flood.example"));

    forgetRefusal("flood.example");
    EXPECT_TRUE(needsConsent(another));
    EXPECT_FALSE(needsConsent("https://s0.flood.example"));
    EXPECT_FALSE(consentGiven(another, question(another), &prompter));
    EXPECT_EQ(asked, kRefusalsBeforeDomainRefused + 1);
    for (const std::string origin : {"https://s0.flood.example", "https://s1.flood.example",
                                     "https://s2.flood.example", another.c_str()})
        forgetRefusal(origin);
    EXPECT_TRUE(refusedSites().empty());
    EXPECT_TRUE(forgetAllowedSite(allowed));
}

TEST(ConsentGate, AllowIsRememberedInTheRequestsTurnAndNoAnswerIsNot) {
    TemporaryDirectory config;
    const ScopedVariable variable("XDG_CONFIG_HOME", config.path().c_str());
    DialogLine line;
    std::mutex work;
    std::unique_lock<std::mutex> held(work);
    const RequestScope scope(line, 1, std::make_shared<std::atomic<bool>>(), held, nullptr);
    int asked = 0, workFree = 0;
    ScriptedPrompter prompter(
        std::vector<ConsentAnswer>{ConsentAnswer::NoAnswer, ConsentAnswer::Allow,
                                   ConsentAnswer::Allow, ConsentAnswer::Allow},
        work, asked, workFree);
    const std::string site = "https://a.example";
    const ConsentQuestion question{site, &scope};
    const ConsentQuestion nullQuestion{"null", &scope};

    EXPECT_EQ(consentAnswer(site, question, &prompter), ConsentAnswer::NoAnswer);
    EXPECT_TRUE(needsConsent(site));
    EXPECT_EQ(consentAnswer(site, question, &prompter), ConsentAnswer::Allow);
    EXPECT_EQ(consentAnswer(site, question, &prompter), ConsentAnswer::Allow);
    EXPECT_EQ(userAllowedSites(), std::vector<std::string>{site});
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(consentAnswer("null", nullQuestion, &prompter), ConsentAnswer::Allow);
    EXPECT_EQ(asked, 4);
    EXPECT_EQ(workFree, 4);
    EXPECT_TRUE(held.owns_lock());
}
