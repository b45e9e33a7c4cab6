#!/usr/bin/env bash
# Builds Quillmark and runs every test three times over:
#   build/release  gcc, -Wall -Wextra -Werror, all tests
#   build/asan     clang with AddressSanitizer + UBSan, all tests and short fuzz runs
#   build/tsan     clang with ThreadSanitizer, the tests labelled "threaded"
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qm_install_deps test

jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1

step() { printf '\n=== %s ===\n' "$*"; }

step "release build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE= >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release -j "$jobs"

step "AddressSanitizer + UBSan build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQM_SANITIZE=address -DQM_FUZZ=ON >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan -j "$jobs"

step "ThreadSanitizer build (threaded tests)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
CC=clang CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQM_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs"
ctest --test-dir build/tsan -j "$jobs" -L threaded
