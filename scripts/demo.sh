#!/usr/bin/env bash
# The main job: builds the library and the bvmp4 tool if needed, then records
# the bundled sample clip (samples/sample.h264 + samples/sample.aac) into
# demo.mp4 in the current folder and prints the tool's summary. Extra
# arguments go to `bvmp4 mux` (e.g. -o demo.mov --meta title=Demo).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# Its own build folder: the test command configures build/linux differently.
BUILD=${BUILD:-$ROOT/build/demo}
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || ! command -v g++ >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends cmake ninja-build g++ >/dev/null
fi
if [ ! -x "$BUILD/tools/bvmp4" ]; then
  cmake -G Ninja -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_MP4_BUILD_TESTS=OFF >/dev/null
fi
ninja -C "$BUILD" bvmp4 >/dev/null
if [ $# -eq 0 ]; then
  exec "$BUILD/tools/bvmp4"
fi
exec "$BUILD/tools/bvmp4" mux --video "$ROOT/samples/sample.h264" --audio "$ROOT/samples/sample.aac" "$@"
