#!/usr/bin/env bash
# Builds release binaries with Debian's hardening flags and makes the Debian package
# quillmark_VERSION_ARCH.deb with CPack. The build directory is the first argument (default
# build-package/); the package's path is printed last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(realpath -m "${1:-$root/build-package}")

# dpkg-buildflags gives the flags Debian builds its own packages with (fortify, stack
# protector, relro, and with +all bindnow); CMake reads CXXFLAGS and LDFLAGS, so CPPFLAGS
# joins CXXFLAGS. They are read when the build directory is first configured.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS

launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DQUILLMARK_BUILD_TESTS=OFF "${launcher[@]}"
cmake --build "$dir" -j "$(nproc)"
rm -f "$dir"/quillmark_*.deb
(cd "$dir" && cpack -G DEB > /dev/null)
ls "$dir"/quillmark_*.deb
