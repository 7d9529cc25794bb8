#!/usr/bin/env bash
# Builds the daemon and its unit tests for the routers' own triple (32-bit big-endian MIPS,
# musl, soft-float) as OpenWrt ships it (MinSizeRel, shared C and C++ libraries), runs the unit
# tests and the end-to-end tests against that binary under qemu-mips, and prints the size of the
# stripped daemon.
#
# The toolchain: the one in MIPS_MUSL_ROOT (its toolchain file is PELMAR_MIPS_TOOLCHAIN_FILE,
# else mips-musl.cmake there or beside the tarball); otherwise mips-musl-toolchain.tar.xz from
# PELMAR_TOOLCHAINS (default: shared/toolchains beside the repository), unpacked once into the
# user's cache directory, one directory per checksum. Without one, one line says the run was
# skipped and why.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

skip() {
    echo "Real-triple run skipped: $*"
    exit 0
}

# The team's shared folder sits beside the working copy; a clone made elsewhere (CI's) finds it
# at its usual place.
toolchains=${PELMAR_TOOLCHAINS:-$(cd .. && pwd)/shared/toolchains}
[ -n "${PELMAR_TOOLCHAINS:-}" ] || [ -d "$toolchains" ] || toolchains=/work/shared/toolchains
if [ -z "${MIPS_MUSL_ROOT:-}" ]; then
    tarball=$toolchains/mips-musl-toolchain.tar.xz
    [ -f "$tarball" ] || skip "no MIPS_MUSL_ROOT and no $tarball"
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/pelmar/mips-musl-$(sha256sum "$tarball" | cut -c1-16)
    if [ ! -d "$cache" ]; then
        echo "Unpacking $tarball into $cache"
        mkdir -p "$(dirname "$cache")"
        # Unpacked aside and renamed, so that a run cut short or a parallel one leaves no half.
        partial=$(mktemp -d "$cache.XXXXXX")
        tar -C "$partial" -xJf "$tarball"
        mv -T "$partial" "$cache" 2>/dev/null || rm -rf "$partial"
    fi
    export MIPS_MUSL_ROOT=$cache/mips-musl
fi
toolchain_file=${PELMAR_MIPS_TOOLCHAIN_FILE:-$MIPS_MUSL_ROOT/mips-musl.cmake}
[ -f "$toolchain_file" ] || toolchain_file=$toolchains/mips-musl.cmake
[ -f "$toolchain_file" ] || skip "no toolchain file in $MIPS_MUSL_ROOT or $toolchains"
command -v qemu-mips >/dev/null || skip "qemu-mips is not installed (Debian: qemu-user)"

echo "=== mips-linux-muslsf (MIPS_MUSL_ROOT=$MIPS_MUSL_ROOT) ==="
build=build/triple-mips-musl
# Every library comes from the sysroot through the toolchain file (CMake's search paths and
# PKG_CONFIG_LIBDIR), whatever the list of dependencies.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DPELMAR_TESTS=ON -DPELMAR_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
# The end-to-end tests start the daemon through the toolchain file's emulator (qemu-mips -L
# SYSROOT, whose loader finds the shared libstdc++, libgcc_s and libc in the sysroot).
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --no-tests=error

# As the package installs it: stripped by the toolchain's own strip.
cmake --install "$build" --strip --prefix "$build/staged" >/dev/null
daemon=$build/staged/bin/pelmar
file "$daemon"
readelf -d "$daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/  needs \1/p'
if readelf -d "$daemon" | grep -qE '\((RPATH|RUNPATH)\)'; then
    echo "The installed daemon carries a run path of the build machine" >&2
    exit 1
fi
echo "Stripped mips-linux-muslsf daemon: $(stat -c %s "$daemon") bytes"
echo "Real-triple run took $((SECONDS - started)) s"
