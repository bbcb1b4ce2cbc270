#include "support/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/file_descriptor.h"
#include "support/write_all.h"

namespace quillmark {

bool replaceFile(const std::string& directory, const std::string& name, std::string_view text,
                 mode_t mode) {
    std::string temporary = directory + "/." + name + ".XXXXXX";
    FileDescriptor file(mkstemp(temporary.data()));
    if (!file.isOpen()) return false;
    const bool written =
        fchmod(file.get(), mode) == 0 && writeAll(file.get(), text) && fsync(file.get()) == 0;
    const bool closed = file.close();
    if (!written || !closed || rename(temporary.c_str(), (directory + "/" + name).c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    // The rename itself lasts a power cut only once the directory is on disk; the file is
    // replaced either way, so a failure here changes nothing the caller can act on.
    const FileDescriptor folder(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.isOpen()) fsync(folder.get());
    return true;
}

}  // namespace quillmark
