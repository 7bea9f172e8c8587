#!/usr/bin/env bash
# What repair mode is for, in half a minute: records the bundled sample at
# its own pace with the repair flag, kills the recording with SIGKILL half-way,
# shows that ffprobe cannot open what is left, repairs it with
# `bvmp4 repair`, and shows ffprobe reading the repaired file.
#
# Usage: scripts/crash-demo.sh [build-dir]   (default build/linux)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/linux}
BVMP4=$BUILD/tools/bvmp4
[ -x "$BVMP4" ] || { echo "no bvmp4 at $BVMP4; build with -DBV_MP4_BUILD_TOOLS=ON" >&2; exit 1; }
command -v ffprobe >/dev/null || { echo "ffprobe is needed" >&2; exit 1; }
WORK=$(mktemp -d /tmp/bv_mp4_crash_demo.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
OUT=$WORK/crash.mp4

frames() {  # video frames ffprobe counts in $1
  ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1"
}

echo "== recording the bundled sample (5 s) in real time with the repair flag"
"$BVMP4" mux --repair --flush-interval 10 --realtime -o "$OUT" >"$WORK/mux.log" 2>&1 &
PID=$!
sleep 2.5
echo "== kill -9 $PID half-way"
{ kill -9 "$PID" && wait "$PID"; } 2>/dev/null || true
ls -l "$OUT" "$OUT.info" | awk '{print "   " $5 " bytes  " $9}'

echo "== ffprobe on the cut-off file"
if ffprobe -v error "$OUT" 2>"$WORK/probe.err"; then
  echo "   (unexpectedly readable)"
else
  sed 's/^/   /' "$WORK/probe.err"
  echo "   -> ffprobe cannot read it: no movie box was written"
fi

echo "== bvmp4 repair"
"$BVMP4" repair "$OUT" | tail -n 1

echo "== ffprobe on the repaired file"
ffprobe -v error -show_entries format=duration:stream=codec_name -of compact=p=0 "$OUT"
echo "   video frames: $(frames "$OUT")"
ffmpeg -nostdin -v error -i "$OUT" -f null - && echo "   ffmpeg decodes every frame without an error"
