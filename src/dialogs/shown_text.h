#pragma once

#include <string>

namespace quillmark {

// A text from a request as a dialog shows it: control characters become spaces (and, where
// only ASCII belongs, other bytes "?"), and a long text is cut on a character boundary and
// ends in "…". The bound is long enough for any real origin or name, short enough that a
// description stays within an Assuan line (1000 bytes) once escaped. So a page cannot reshape
// the dialog.
std::string shownText(const std::string& text, bool asciiOnly);

}  // namespace quillmark
