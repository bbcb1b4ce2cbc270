#pragma once

#include <string>
#include <vector>

namespace quillmark {

// The sites allowed, by the user and by the administrator: for each list a heading naming its
// file, then one origin a line, or why the file is ignored.
struct AllowedSitesReport {
    std::vector<std::string> lines;
    bool ignored = false;  // a list's file is ignored
};

AllowedSitesReport reportAllowedSites();

}  // namespace quillmark
