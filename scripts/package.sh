#!/usr/bin/env bash
# Builds the Debian package: a release build of the program alone in
# build-package (BUILD_DIR to change), packed by cpack. Extra arguments go
# to CMake, e.g. -DONDALINE_SERVICE_URL=https://service.example.org.
# Install the result with: sudo apt-get install ./build-package/ondaline_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

BUILD=${BUILD_DIR:-build-package}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DONDALINE_BUILD_TESTS=OFF -DONDALINE_BUILD_TOOLS=OFF -DONDALINE_BUILD_BENCH=OFF "$@"
cmake --build "$BUILD" -j"$(nproc)"
(cd "$BUILD" && cpack -G DEB)
ls "$PWD/$BUILD"/ondaline_*.deb
