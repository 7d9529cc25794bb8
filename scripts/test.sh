#!/usr/bin/env bash
# Builds and runs every test: a release build, then the whole suite again under
# AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer (any sanitizer
# report fails the run); the unit tests cross-built for 32-bit MIPS and big-endian s390x under
# qemu-user; the unit and end-to-end tests built for the routers' own triple (big-endian MIPS,
# musl, soft-float) under qemu-mips, when its toolchain is at hand; a short run of every fuzz
# target; and shellcheck over the router's scripts.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

run_suite() {  # name, extra cmake arguments...
    local name=$1
    shift
    echo "=== $name build ==="
    cmake -S . -B "build/$name" -DPELMAR_TESTS=ON -DPELMAR_BENCH=ON -DPELMAR_WERROR=ON "$@" >/dev/null
    cmake --build "build/$name" -j"$jobs"
    ctest --test-dir "build/$name" -j"$jobs" --output-on-failure --no-tests=error
}

echo "=== clang-format ==="
git ls-files -co --exclude-standard -- src tests bench | grep -E '\.(cpp|h)$' |
    xargs clang-format --dry-run -Werror

run_suite release -DPELMAR_COLLECTOR=ON
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="log_path=$reports/tsan:halt_on_error=1:second_deadlock_stack=1"
run_suite asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMAR_SANITIZE=address,undefined -DPELMAR_COLLECTOR=ON
run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMAR_SANITIZE=thread

if compgen -G "$reports/*" >/dev/null; then
    echo "Sanitizer reports:"
    cat "$reports"/*
    exit 1
fi
unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS

scripts/cross-test.sh
scripts/triple-test.sh

echo "=== fuzz smoke ==="
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

echo "=== shellcheck ==="
shellcheck -s sh packaging/openwrt/pelmar/test.sh packaging/openwrt/pelmar/files/pelmar.defaults
shellcheck packaging/openwrt/pelmar/files/pelmar.init packaging/openwrt/pelmar/files/pelmar.hotplug
shellcheck scripts/*.sh .ci/run
echo "All suites passed with no sanitizer report."
