#!/usr/bin/env bash
# Builds the unit tests for 32-bit little-endian MIPS and for big-endian s390x with Debian's
# cross compilers and runs them under qemu-user. Debian's libpcap for those architectures
# cannot be installed beside this system's own packages, so the daemon itself is built for
# MIPS by the real-triple run, whose sysroot has libpcap.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(mipsel-linux-gnu s390x-linux-gnu)
for triplet in "${targets[@]}"; do
    arch=${triplet%%-*}
    # install-deps.sh updates the package lists before it installs the new architecture's.
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done
scripts/install-deps.sh qemu-user \
    g++-mipsel-linux-gnu libinih-dev:mipsel libgtest-dev:mipsel libmbedtls-dev:mipsel \
    g++-s390x-linux-gnu libinih-dev:s390x libgtest-dev:s390x libmbedtls-dev:s390x

for triplet in "${targets[@]}"; do
    echo "=== $triplet ==="
    build="build/cross-$triplet"
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake \
        -DPELMAR_TRIPLET="$triplet" -DCMAKE_BUILD_TYPE=MinSizeRel -DPELMAR_WERROR=ON \
        -DPELMAR_UNIT_TESTS_ONLY=ON >/dev/null
    cmake --build "$build" -j"$(nproc)"
    file "$build/tests/unit_tests"
    ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --no-tests=error -E '^e2e\.'
done
