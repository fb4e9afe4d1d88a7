#!/usr/bin/env bash
# Installs what is missing, builds natd twice (a normal build and one with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs the whole test
# suite on both. Must run as root: the end-to-end tests create network
# namespaces, TAP devices and raw sockets.
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

if [ "$(id -u)" -ne 0 ]; then
  echo "scripts/test.sh: must run as root (network namespaces, TAP, raw sockets)" >&2
  exit 1
fi

bash scripts/install-deps.sh || { echo "installing packages failed" >&2; exit 1; }
# Kernel pieces the end-to-end tests rely on; built in on some kernels.
for m in tun veth bridge nf_tables; do modprobe -q "$m" 2>/dev/null || true; done

jobs=${NATD_TEST_JOBS:-2}
total_pass=0
total_fail=0
status=0

run_suite() {  # name, build dir, extra cmake args...
  local name=$1 dir=$2
  shift 2
  echo "=== $name build ($dir) ==="
  if ! cmake -S . -B "$dir" -G Ninja "$@" >/dev/null || ! ninja -C "$dir"; then
    echo "$name build: FAILED to build"
    status=1
    return
  fi
  local log="$dir/ctest.log"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 900 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    local failed=${BASH_REMATCH[1]} all=${BASH_REMATCH[2]}
    total_fail=$((total_fail + failed))
    total_pass=$((total_pass + all - failed))
  fi
  [ "$rc" -eq 0 ] || status=1
  echo "$name: $line"
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_suite normal build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNATD_SANITIZE=OFF
run_suite sanitizer build-asan -DCMAKE_BUILD_TYPE=Debug -DNATD_SANITIZE=ON

echo "total: $total_pass passed, $total_fail failed"
exit $status
