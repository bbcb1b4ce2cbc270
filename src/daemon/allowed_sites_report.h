#pragma once

namespace quillmark {

// Prints the sites allowed, by the user and by the administrator: for each list a heading
// naming its file, then one origin a line, or why the file is ignored. False when a file is
// ignored.
bool printAllowedSites();

}  // namespace quillmark
