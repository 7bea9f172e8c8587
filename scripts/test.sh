#!/usr/bin/env bash
# The test command: installs what is missing (Debian packages), builds and
# runs every suite:
#   1. Linux unit and conformance tests
#   2. the same suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   3. the thread tests under ThreadSanitizer
#   4. the Windows DLL and suite, cross-built with mingw-w64, under wine64
#   5. every libFuzzer target for FUZZ_SECONDS (default 60) each
#   6. the build matrix: library, tool and tests built (not run) with GCC in
#      Release and with clang; Debug and RelWithDebInfo are stages 1 and 2
# Build folders live under build/ (BUILD_ROOT to change). Set SKIP_WINE=1,
# SKIP_FUZZ=1, SKIP_SANITIZERS=1, SKIP_MATRIX=1 to leave a stage out when iterating locally.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_ROOT=${BUILD_ROOT:-$ROOT/build}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
JOBS=${JOBS:-$(nproc)}

need_packages=()
want() { dpkg -s "$1" >/dev/null 2>&1 || need_packages+=("$1"); }
for p in cmake ninja-build g++ pkg-config python3 libgtest-dev libgmock-dev googletest libbenchmark-dev \
         ffmpeg libavformat-dev libavcodec-dev libavutil-dev clang libclang-rt-14-dev \
         g++-mingw-w64-x86-64-posix wine64 binutils-mingw-w64-x86-64; do
  want "$p"
done
if [ ${#need_packages[@]} -gt 0 ]; then
  echo "== installing: ${need_packages[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need_packages[@]}" >/dev/null
fi

# mp4box.js, the strict ISO reader of web pages, is one of the conformance
# oracles; where npm cannot reach its registry the tests that use it skip.
MP4BOX_DIR="$BUILD_ROOT/node"
if [ ! -f "$MP4BOX_DIR/node_modules/mp4box/package.json" ]; then
  if command -v npm >/dev/null 2>&1 && mkdir -p "$MP4BOX_DIR" &&
     timeout 180 npm install --silent --no-audit --no-fund --prefer-offline --fetch-retries=1 \
       --fetch-timeout=30000 --prefix "$MP4BOX_DIR" mp4box@0.5.3 >/dev/null 2>&1; then
    echo "== installed mp4box.js into $MP4BOX_DIR"
  else
    echo "== mp4box.js could not be installed: its conformance checks will skip"
  fi
fi

stage() { echo; echo "== $*"; }

build_and_test() {  # dir, ctest args..., -- cmake args...
  local dir=$1; shift
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  cmake -G Ninja -S "$ROOT" -B "$dir" -DBV_MP4_WARNINGS_AS_ERRORS=ON -DBV_MP4_BUILD_TESTS=ON "$@" >/dev/null
  ninja -C "$dir" -j "$JOBS"
  (cd "$dir" && ctest --no-tests=error --output-on-failure "${ctest_args[@]}")
}

# The Linux suite keeps its recordings here; the Windows suite compares its
# own with them byte for byte.
PLATFORM_BYTES="$BUILD_ROOT/linux/platform_bytes"
rm -rf "$PLATFORM_BYTES"

stage "Linux suite"
BV_MP4_PLATFORM_BYTES="$PLATFORM_BYTES" \
  build_and_test "$BUILD_ROOT/linux" -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_MP4_BUILD_TOOLS=ON

if [ "${SKIP_SANITIZERS:-0}" != 1 ]; then
  stage "Linux suite under AddressSanitizer + UndefinedBehaviorSanitizer"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build_and_test "$BUILD_ROOT/asan" -- -DCMAKE_BUILD_TYPE=Debug -DBV_MP4_SANITIZE=address,undefined \
    -DBV_MP4_BUILD_TOOLS=ON

  stage "Thread tests under ThreadSanitizer"
  cmake -G Ninja -S "$ROOT" -B "$BUILD_ROOT/tsan" -DCMAKE_BUILD_TYPE=Debug -DBV_MP4_SANITIZE=thread \
    -DBV_MP4_WARNINGS_AS_ERRORS=ON -DBV_MP4_BUILD_TESTS=ON \
    -DBV_MP4_BUILD_TOOLS=OFF >/dev/null
  ninja -C "$BUILD_ROOT/tsan" -j "$JOBS" bv_mp4_tests
  TSAN_OPTIONS=halt_on_error=1 "$BUILD_ROOT/tsan/tests/bv_mp4_tests" --gtest_filter='*Thread*:*Concurrent*'
fi

if [ "${SKIP_WINE:-0}" != 1 ]; then
  stage "Windows DLL and suite under wine64"
  WINEPREFIX=$(mktemp -d /tmp/bv_mp4_wine.XXXXXX)
  export WINEPREFIX
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
  BV_MP4_PLATFORM_BYTES="Z:$PLATFORM_BYTES" \
    build_and_test "$BUILD_ROOT/mingw" -- -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_MP4_BUILD_TOOLS=OFF
fi

if [ "${SKIP_FUZZ:-0}" != 1 ] && ls "$ROOT"/fuzz/*.cpp >/dev/null 2>&1; then
  stage "Fuzz targets, ${FUZZ_SECONDS}s each"
  CC=clang CXX=clang++ cmake -G Ninja -S "$ROOT" -B "$BUILD_ROOT/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBV_MP4_WARNINGS_AS_ERRORS=ON \
    -DBV_MP4_BUILD_FUZZ=ON -DBV_MP4_SANITIZE=address,undefined -DBV_MP4_BUILD_TESTS=OFF \
    -DBV_MP4_BUILD_TOOLS=OFF >/dev/null
  ninja -C "$BUILD_ROOT/fuzz" -j "$JOBS"
  "$ROOT/fuzz/run_fuzzers.sh" "$BUILD_ROOT/fuzz" "$FUZZ_SECONDS"
fi

if [ "${SKIP_MATRIX:-0}" != 1 ]; then
  # Builds only: the compilers' warnings at other optimisation levels.
  stage "Build matrix: GCC Release"
  cmake -G Ninja -S "$ROOT" -B "$BUILD_ROOT/gcc-release" -DCMAKE_BUILD_TYPE=Release -DBV_MP4_WARNINGS_AS_ERRORS=ON \
    -DBV_MP4_BUILD_TESTS=ON -DBV_MP4_BUILD_TOOLS=ON >/dev/null
  ninja -C "$BUILD_ROOT/gcc-release" -j "$JOBS"
  stage "Build matrix: clang RelWithDebInfo"
  CC=clang CXX=clang++ cmake -G Ninja -S "$ROOT" -B "$BUILD_ROOT/clang" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBV_MP4_WARNINGS_AS_ERRORS=ON -DBV_MP4_BUILD_TESTS=ON -DBV_MP4_BUILD_TOOLS=ON >/dev/null
  ninja -C "$BUILD_ROOT/clang" -j "$JOBS"
fi

stage "all suites passed"
