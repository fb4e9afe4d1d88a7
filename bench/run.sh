#!/usr/bin/env bash
# Runs every benchmark of this directory, one after the other, with the
# given natd (default build/natd). Benchmarks print figures and assert
# nothing; this script's status is non-zero only when a benchmark could not
# run at all (missing tool, sandbox failure).
#
# Usage: bash bench/run.sh [/path/to/natd]   (as root)
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
NATD_BIN=${1:-$HERE/../build/natd}
[ -x "$NATD_BIN" ] || { echo "natd binary not found: $NATD_BIN (build it first)" >&2; exit 1; }
NATD_BIN=$(cd "$(dirname "$NATD_BIN")" && pwd)/$(basename "$NATD_BIN")

status=0
for bench in "$HERE"/*.sh; do
  case $(basename "$bench") in run.sh | lib_*.sh) continue ;; esac
  echo "######## $(basename "$bench" .sh)"
  bash "$bench" "$NATD_BIN" || { echo "######## $(basename "$bench" .sh) could not run" >&2; status=1; }
  echo
done
exit $status
