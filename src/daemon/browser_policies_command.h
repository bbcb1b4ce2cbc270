#pragma once

namespace quillmark {

// Writes the installed browsers' policies for the administrator's allowed sites, saying which
// browsers were skipped and what changed; on a file it cannot use, one line on stderr and
// nothing changed. Returns the exit status.
int writeBrowserPolicies();

// Prints what writeBrowserPolicies() would change, writing nothing.
int printBrowserPoliciesChange();

}  // namespace quillmark
