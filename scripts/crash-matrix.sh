#!/usr/bin/env bash
# Runs the crash matrix with many kill points: a child records with the
# repair flag, is killed with SIGKILL at seeded random moments, and every
# kill is repaired and checked with ffprobe and ffmpeg.
#
# Usage: scripts/crash-matrix.sh [kills-per-kind (default 200)] [seed]
# Needs a Linux build in build/linux (BUILD to change).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/linux}
KILLS=${1:-200}
SEED=${2:-$(date +%s)}
BIN=$BUILD/tests/bv_mp4_tests
[ -x "$BIN" ] || { echo "no test binary at $BIN; build first" >&2; exit 1; }
echo "crash matrix: $KILLS kills per recording kind, seed $SEED"
BV_CRASH_KILLS=$KILLS BV_CRASH_SEED=$SEED "$BIN" --gtest_filter='CrashMatrix.*' --gtest_color=no |
  grep -v '^\[.*\] \[\(info\|warn\|debug\)\]' | grep -E 'crash matrix|OK|FAILED|Failure|Expected|Which is|seed' 
