#!/usr/bin/env bash
# Builds the ucode interpreter (the language of rpcd plugins; Debian has no package) from the
# source archive in DIR into BUILD/ucode, once: a build whose stamp names the same archive is
# kept. Prints the interpreter's path. Usage: build-ucode.sh DIR BUILD
set -euo pipefail
source_dir=$1
build=$2
archive=$(find "$source_dir" -maxdepth 1 -name 'ucode-*.tar.xz' | sort | tail -n 1)
[ -n "$archive" ] || { echo "no ucode-*.tar.xz in $source_dir" >&2; exit 1; }
target="$build/ucode"
mkdir -p "$build"
# Tests that start at the same time wait for one build instead of making two.
exec 9>"$build/ucode.lock"
flock 9
if [ "$(cat "$target/stamp" 2>/dev/null)" != "$(basename "$archive")" ] || [ ! -x "$target/b/ucode" ]; then
    rm -rf "$target"
    mkdir -p "$target"
    tar -xJf "$archive" -C "$target" --strip-components=1
    # Only the core and its plain modules (fs, math, struct ...): no router libraries here.
    if ! { cmake -S "$target" -B "$target/b" -DCMAKE_BUILD_TYPE=Release \
               -DUBUS_SUPPORT=OFF -DUCI_SUPPORT=OFF -DULOOP_SUPPORT=OFF -DRTNL_SUPPORT=OFF \
               -DNL80211_SUPPORT=OFF -DDEBUG_SUPPORT=OFF -DLOG_SUPPORT=OFF &&
           cmake --build "$target/b" -j"$(nproc)"; } >"$target/build.log" 2>&1; then
        cat "$target/build.log" >&2
        exit 1
    fi
    basename "$archive" >"$target/stamp"
fi
echo "$target/b/ucode"
