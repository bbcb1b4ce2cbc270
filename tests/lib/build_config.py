"""Values of the build under test, read from the CMake cache of QUILLMARK_BUILD_DIR."""

import os
import re


def cache_value(name, default=None, build_dir=None):
    """The cached value of a CMake variable, or the default when there is none."""
    build_dir = build_dir or os.environ.get("QUILLMARK_BUILD_DIR")
    cache = os.path.join(build_dir, "CMakeCache.txt") if build_dir else None
    if cache and os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                found = re.match(re.escape(name) + r":\w+=(.*)$", line.rstrip("\n"))
                if found:
                    return found.group(1)
    return default


def sanitized(build_dir=None):
    """True for the AddressSanitizer build, whose allocator keeps freed memory a while."""
    return cache_value("QUILLMARK_SANITIZE", "OFF", build_dir).upper() in ("ON", "TRUE", "1")
