#include "consent/allowed_sites.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace quillmark;

namespace {

std::string contentsOf(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

// Written as the agent writes it, edited by hand, then a site forgotten: each change counts at
// the next question, and the user's comments survive.
TEST(SitesFile, AddsEditsAndForgetsKeepingComments) {
    char folder[] = "/tmp/quillmark-sites-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/quillmark/allowed-sites";
    SitesFile sites(path);
    EXPECT_FALSE(sites.contains("https://a.example"));

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
