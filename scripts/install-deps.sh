#!/usr/bin/env bash
# Installs every Debian package that building natd and running its test
# suite and benchmarks need. Safe to run again: only missing packages are
# fetched.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
  iproute2 iputils-ping traceroute nftables kmod qemu-system-x86 cpio
  socat curl iperf3 dnsmasq-base dnsutils busybox-static isc-dhcp-client
  slirp4netns python3 procps psmisc netcat-openbsd linux-perf dnsperf tcpdump systemd
  python3-pyftpdlib
  samba samba-common-bin
  pptp-linux pptpd
  hping3
)
# bench/run.sh: connection rate (ab against nginx), request/response latency,
# natd's instructions per segment (callgrind)
BENCH_PACKAGES=(apache2-utils nginx-light sockperf valgrind)
PACKAGES+=("${BENCH_PACKAGES[@]}")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
