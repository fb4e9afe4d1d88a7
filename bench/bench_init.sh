# Sourced first by a benchmark that runs natd in the sandbox: natd's path is
# the script's first argument (default build/natd, made absolute), then the
# sandbox library and the benchmark helpers are loaded. Sets HERE (bench/)
# and NATD_BIN.
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NATD_BIN=${1:-$HERE/../build/natd}
[ -x "$NATD_BIN" ] || { echo "natd binary not found: $NATD_BIN" >&2; exit 1; }
NATD_BIN=$(cd "$(dirname "$NATD_BIN")" && pwd)/$(basename "$NATD_BIN")
set -- "$NATD_BIN"
. "$HERE/../tests/e2e/lib.sh"
. "$HERE/lib_bench.sh"
