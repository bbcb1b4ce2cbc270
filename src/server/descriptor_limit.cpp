#include "server/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>

namespace quillmark {

unsigned raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return static_cast<unsigned>(std::min<rlim_t>(limit.rlim_cur, kMaxServerDescriptors));
}

}  // namespace quillmark
