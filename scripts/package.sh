#!/usr/bin/env bash
# Builds the release packages: a Debian package and a tarball of the install tree, in build/package
# (override with BUILD_ROOT). Optimised, without sanitizers, stripped; source paths in the binaries are
# relative to the repository, so the files hold no path of the build machine.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_ROOT:-$ROOT/build}/package
bash scripts/setup.sh
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DEVENT_ES_TESTS=OFF \
  -DCMAKE_C_FLAGS="-ffile-prefix-map=$ROOT/=" -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$ROOT/=" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
(cd "$BUILD" && cpack -G "DEB;TGZ" >/dev/null)
ls "$BUILD"/libevent-es*.deb "$BUILD"/libevent-es*.tar.gz
