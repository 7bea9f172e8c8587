#!/usr/bin/env bash
# Runs every fuzz target of a build for the given number of seconds, each
# over a scratch copy of its seed corpus (the committed corpus stays as it
# is). Exits non-zero when a target finds a crash.
#
# Usage: fuzz/run_fuzzers.sh <build-dir> <seconds>
set -euo pipefail
build=${1:?build dir}
seconds=${2:?seconds}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for src in "$here"/*.cpp; do
  name=$(basename "$src" .cpp)
  bin="$build/fuzz/$name"
  [ -x "$bin" ] || { echo "missing $bin"; exit 1; }
  mkdir -p "$work/$name"
  [ -d "$here/corpus/$name" ] && cp -r "$here/corpus/$name/." "$work/$name/"
  echo "== $name ($seconds s)"
  if ! (cd "$work" && "$bin" -max_total_time="$seconds" -print_final_stats=1 "$work/$name" >"$work/$name.log" 2>&1); then
    status=1
  fi
  grep -E '^Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|ERROR|SUMMARY' "$work/$name.log" || true
  if ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* >/dev/null 2>&1; then
    echo "$name: finding kept in $here/findings"; mkdir -p "$here/findings"; cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$here/findings/" 2>/dev/null || true
    status=1
  fi
done
exit $status
