#!/usr/bin/env bash
# Installs the Debian packages that building, the demo and the tests need, when missing (OpenWrt's
# userland for the router tests: cmake, gcc, make, pkg-config, libjson-c-dev, libcrypt-dev,
# libnl-3-dev, busybox, util-linux's unshare and nsenter, chromium).
set -euo pipefail

packages=(build-essential cmake pkg-config libinih-dev libpcap-dev libgtest-dev libbenchmark-dev
          clang-format libmbedtls-dev curl ca-certificates python3 openssl faketime ncurses-bin tcpdump shellcheck busybox procps file
          libcpp-httplib-dev libmicrohttpd-dev nlohmann-json3-dev libsqlite3-dev libpq-dev libjs-chart.js postgresql chromium
          libjson-c-dev libcrypt-dev libnl-3-dev util-linux xz-utils "$@")
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
