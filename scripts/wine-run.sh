#!/usr/bin/env bash
# Runs a Windows executable under wine64 with a private, throw-away prefix
# unless WINEPREFIX is already set.
set -euo pipefail
export WINEDEBUG=-all
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX=$(mktemp -d /tmp/bv_mp4_wine.XXXXXX)
  export WINEPREFIX
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
fi
WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine)
"$WINE" "$@"
