#!/usr/bin/env bash
# The comparison table in one command: every writer on the same frames, each
# run in its own process, on tmpfs and on disk; every output checked and
# deleted. Prints medians and ratios to plain fwrite of the same bytes.
#
#   bench/run_compare.sh [--quick] [--runs N] [--media tmpfs|disk|both] [--disk DIR] [--baseline BIN]
#                        [--workloads "w1 w2 w3"] [--writers "fwrite bv_mp4 ..."]
#
# --baseline BIN adds rows for another build of bench_compare (e.g. of an
# older commit) so that before/after ratios come from the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
QUICK=""; RUNS=3; MEDIA="tmpfs disk"; DISK="$PWD/build-bench/compare-out"; BASE=""; WORKLOADS="w1 w2 w3"; ONLY=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=--quick; RUNS=1 ;;
    --runs) RUNS=$2; shift ;;
    --disk) DISK=$2; shift ;;
    --media) [ "$2" = both ] && MEDIA="tmpfs disk" || MEDIA=$2; shift ;;
    --baseline) BASE=$2; shift ;;
    --workloads) WORKLOADS=$2; shift ;;
    --writers) ONLY=" $2 "; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

BUILD=build-bench
if [ ! -x $BUILD/bench/bench_compare ] || [ -n "$(find src bench -newer $BUILD/bench/bench_compare -name '*.cpp' -o -newer $BUILD/bench/bench_compare -name '*.h' | head -1)" ]; then
  cmake -G Ninja -S . -B $BUILD -DCMAKE_BUILD_TYPE=Release -DBV_MP4_BUILD_BENCH=ON >/dev/null
  ninja -C $BUILD -j2 bench_compare >/dev/null
fi
BIN=$BUILD/bench/bench_compare

# Real x264 frames: ten seconds of 1080p30 at about 6 Mbit/s, cycled to an hour.
H264=$BUILD/w1_1080p30.h264
if [ ! -s $H264 ]; then
  ffmpeg -v error -y -f lavfi -i testsrc2=s=1920x1080:r=30 -t 10 -vf noise=alls=10:allf=t \
    -c:v libx264 -preset ultrafast -tune zerolatency -b:v 6M -maxrate 6M -bufsize 6M -g 60 -bf 0 -f h264 $H264
fi

# GStreamer rows (mp4mux, and qtmux in its reserved-moov robust mode) when
# bench_compare was built against GStreamer's app library.
GST_WRITERS=""
if $BIN --writers | grep -qw gst_mp4mux; then GST_WRITERS="gst_mp4mux gst_qtmux_robust"; fi

mkdir -p "$DISK"
RESULTS=$(mktemp)
trap 'rm -f "$RESULTS"' EXIT

fail() { echo "CHECK FAILED: $*" >&2; exit 1; }

# Output checks: ffprobe silent, the sample count, and the MD5 of every
# sample's bytes equal to libavformat's output of the same frames.
drop_decoder_lines() { grep -v -e '^\[h264 @' -e 'Last message repeated' || true; }
check_mp4() {  # file samples reference-framemd5-or-empty
  local f=$1 n=$2 ref=$3
  # W2 and W3 carry synthetic slices no decoder accepts: there only the
  # container's own messages count.
  local filter=cat; [[ "$f" == *_w1*.mp4 ]] || filter=drop_decoder_lines
  [ -z "$(ffprobe -v error -i "$f" 2>&1 | $filter)" ] || fail "ffprobe reports errors on $f"
  local got
  got=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$f" 2>/dev/null | paste -sd+ | bc)
  [ "$got" = "$n" ] || fail "$f holds $got samples, $n written"
  local md5
  # Parameter sets left in band (GStreamer's parser keeps those it was fed
  # before key frames) are no sample data of their own: dropped before hashing.
  md5=$(ffmpeg -v error -i "$f" -map 0 -c copy -bsf:v 'filter_units=remove_types=7|8' -f framemd5 - 2>/dev/null |
    grep -v '^#' | awk -F, '{print $1 $NF}' | md5sum)
  if [ -n "$ref" ]; then [ "$md5" = "$(cat "$ref")" ] || fail "sample bytes of $f differ from libavformat's"; else echo "$md5" >"$f.framemd5"; fi
}

run() {  # where writer workload binary label round
  local where=$1 writer=$2 wl=$3 bin=$4 label=$5 r=$6
  local dir; [ "$where" = tmpfs ] && dir=/dev/shm || dir=$DISK
  local out=$dir/bvcmp_${label}_$wl.mp4 line secs n bytes
  # On disk, the page cache that an earlier writer left dirty would be
  # written back during this run and slow it: start each run from a clean one.
  [ "$where" = tmpfs ] || sync
  line=$($bin "$writer" "$wl" "$out" --h264 $H264 $QUICK | grep '^RESULT') || fail "$label $wl failed"
  read -r _ _ _ secs n bytes cpu <<<"$line"
  if [ "$writer" = fwrite ] || [ "$writer" = direct ]; then
    [ "$(stat -c %s "$out")" = "$bytes" ] || fail "$writer output size"
  elif [ "$r" = 1 ]; then
    local ref=$dir/bvcmp_ref_$wl.framemd5
    if [ "$writer" = libavformat ]; then check_mp4 "$out" "$n" ""; mv "$out.framemd5" "$ref"
    else check_mp4 "$out" "$n" "$([ -f "$ref" ] && echo "$ref")"; rm -f "$out.framemd5"; fi
  fi
  rm -f "$out" "$out.info"
  echo "$where $wl $label $secs $n ${cpu:-0} $r" >>"$RESULTS"
}

# Rounds are the outer loop: a disk (or a shared machine) that drifts over
# minutes then slows every writer of a round alike, and the ratios below are
# taken within each round before their median.
for where in $MEDIA; do
  for wl in $WORKLOADS; do
    # GStreamer gets the real frames only: its parser rewrites what it
    # cannot parse, and the synthetic slices of W2/W3 are not real slices.
    gst=""; [ $wl = w1 ] && gst=$GST_WRITERS
    # The write-through floor of safe write needs a file system with O_DIRECT.
    direct=""; [ "$where" = disk ] && $BIN --writers | grep -qw direct && direct=direct
    for r in $(seq 1 "$RUNS"); do
      for writer in libavformat fwrite $direct bv_mp4 bv_mp4_repair bv_mp4_safe bv_mp4_safe_1s $gst; do
        [ -z "$ONLY" ] || [[ "$ONLY" == *" $writer "* ]] || continue
        run $where $writer $wl $BIN $writer $r
        [ -n "$BASE" ] && [[ "$writer" == bv_mp4* ]] && "$BASE" --writers | grep -qw "$writer" &&
          run $where $writer $wl "$BASE" "before:$writer" $r
      done
    done
    rm -f /dev/shm/bvcmp_ref_$wl.framemd5 "$DISK"/bvcmp_ref_$wl.framemd5
  done
done
[ -n "$GST_WRITERS" ] || echo "note: GStreamer rows skipped (bench_compare built without gstreamer-app-1.0)"

echo
echo "median over $RUNS round(s); x_fwrite = median of writer / fwrite of the same bytes on the same medium, within each round;"
echo "cpu = processor seconds of the writing process (all threads), steadier than wall on a shared machine"
python3 - "$RESULTS" <<'PY'
import sys, statistics
rows = {}
for line in open(sys.argv[1]):
    where, wl, label, secs, n, cpu, rnd = line.split()
    r = rows.setdefault((where, wl, label), {"wall": {}, "cpu": {}, "n": int(n)})
    r["wall"][rnd] = float(secs); r["cpu"][rnd] = float(cpu)

def pairs(a, b, what):
    return [a[what][k] / b[what][k] for k in a[what] if k in b[what] and b[what][k] > 0]

def ratio(a, b, what):
    """Median of the ratios taken within each round both writers ran."""
    p = pairs(a, b, what)
    return statistics.median(p) if p else 0

print("%-6s %-4s %-24s %9s %10s %8s %11s %9s %8s" % ("medium", "load", "writer", "wall_s", "ns/sample", "x_fwrite",
      "rounds", "cpu_s", "x_fwrite"))
for key in sorted(rows):
    r = rows[key]
    wall, cpu = statistics.median(r["wall"].values()), statistics.median(r["cpu"].values())
    f = rows.get((key[0], key[1], "fwrite"))
    xc = ratio(r, f, "cpu") if f and cpu else 0
    w = pairs(r, f, "wall") if f else []
    print("%-6s %-4s %-24s %9.3f %10.0f %8.2f %11s %9.3f %8s" % (key[0], key[1], key[2], wall, wall * 1e9 / r["n"],
          ratio(r, f, "wall") if f else 0, "%.2f-%.2f" % (min(w), max(w)) if w else "-", cpu,
          "%.2f" % xc if xc else "-"))
# Safe write against its two references: the write-through floor of the same
# bytes, and GStreamer's crash-safe mode.
for (where, wl, label), r in sorted(rows.items()):
    if label not in ("bv_mp4_safe", "bv_mp4_safe_1s", "before:bv_mp4_safe"): continue
    for ref in ("direct", "gst_qtmux_robust"):
        o = rows.get((where, wl, ref))
        if o:
            w = pairs(r, o, "wall")
            print("%s %s %s / %s: wall %.2f (rounds %.2f to %.2f), cpu %.2f" % (where, wl, label, ref, ratio(r, o, "wall"),
                  min(w), max(w), ratio(r, o, "cpu")))
PY
