#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs all tests:
# the whole suite, the Debian package installed and started, then the
# threaded audio and source tests again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j"$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure --timeout 900

# The Debian package of this build: installed, started, closed, removed.
if [ "${ONDALINE_SKIP_PACKAGE_CHECK:-0}" != 1 ]; then
  bash scripts/check-package.sh "$BUILD"
fi

if [ "${ONDALINE_SKIP_TSAN:-0}" != 1 ]; then
  TSAN_TESTS=(tst_cvchannel tst_cvplayer tst_olsource tst_olsource_station)
  cmake -S . -B "$BUILD-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DONDALINE_TSAN=ON -DONDALINE_BUILD_BENCH=OFF
  cmake --build "$BUILD-tsan" -j"$(nproc)" --target "${TSAN_TESTS[@]}"
  regex="^($(IFS='|'; echo "${TSAN_TESTS[*]}"))\$"
  ctest --test-dir "$BUILD-tsan" --output-on-failure --timeout 900 -R "$regex"
fi
