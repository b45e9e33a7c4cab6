#!/usr/bin/env bash
# Builds the Win32 OS layers and their tests with the x86_64 mingw-w64 posix
# compiler (the i686 one only compiles the layers: 32-bit code cannot run on
# our machines), then runs the tests under wine64 in a fresh prefix on an
# Xvfb display: the named pipe across Wine processes (checked here with
# tshark), the launch, the INI file, and a COM port on a pty served from the
# Linux side.
#
# Usage: tests/win32/build_and_run.sh [build-dir]   (default build/w-tests)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:-$ROOT/build/w-tests}
CXX64=x86_64-w64-mingw32-g++-posix
CXX32=i686-w64-mingw32-g++-posix
CXXFLAGS=(-std=c++20 -Wall -Wextra -Werror -O1 -I"$ROOT")
GTEST_SRC=/usr/src/googletest/googletest
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
TEST_COM_PORT=201

LAYERS=(base/os_error_win32.cpp base/settings_os_win32.cpp
        serial/comm_win32.cpp serial/comm_io_win32.cpp serial/comm_event_win32.cpp serial/port_names_win32.cpp
        pcap/pipe_win32.cpp pcap/pipe_io_win32.cpp pcap/launch_win32.cpp)
PORTABLE=(base/settings.cpp base/ini_text.cpp serial/uart_port.cpp serial/uart_threads.cpp
          serial/ring_buffer.cpp serial/port_names.cpp)

mkdir -p "$OUT/obj32" "$OUT/obj64" "$OUT/gtest"

echo "== i686: the layers compile and link into a static 32-bit .exe"
OBJS32=()
for f in "${LAYERS[@]}" "${PORTABLE[@]}"; do
    o="$OUT/obj32/$(basename "$f" .cpp).o"
    "$CXX32" "${CXXFLAGS[@]}" -c "$ROOT/$f" -o "$o"
    OBJS32+=("$o")
done
"$CXX32" "${CXXFLAGS[@]}" -static "$ROOT/tests/win32/link_check.cpp" "${OBJS32[@]}" -o "$OUT/qm_link_check_i686.exe"
echo "imports: $(i686-w64-mingw32-objdump -p "$OUT/qm_link_check_i686.exe" | awk '/DLL Name/ {print $3}' | tr '\n' ' ')"

echo "== x86_64: GoogleTest, layers, tests"
if [ ! -f "$OUT/gtest/libgtest.a" ]; then
    "$CXX64" -std=c++20 -O1 -I"$GTEST_SRC/include" -I"$GTEST_SRC" -c "$GTEST_SRC/src/gtest-all.cc" -o "$OUT/gtest/gtest-all.o"
    "$CXX64" -std=c++20 -O1 -I"$GTEST_SRC/include" -c "$GTEST_SRC/src/gtest_main.cc" -o "$OUT/gtest/gtest_main.o"
    x86_64-w64-mingw32-ar rcs "$OUT/gtest/libgtest.a" "$OUT/gtest/gtest-all.o" "$OUT/gtest/gtest_main.o"
fi
OBJS=()
for f in "${LAYERS[@]}" "${PORTABLE[@]}"; do
    o="$OUT/obj64/$(basename "$f" .cpp).o"
    "$CXX64" "${CXXFLAGS[@]}" -c "$ROOT/$f" -o "$o"
    OBJS+=("$o")
done
"$CXX64" "${CXXFLAGS[@]}" -static "$ROOT/tests/win32/pipe_reader.cpp" -o "$OUT/qm_pipe_reader.exe"
TESTS=(win32_pipe_test win32_launch_test win32_settings_test win32_comm_test)
for t in "${TESTS[@]}"; do
    "$CXX64" "${CXXFLAGS[@]}" -I"$GTEST_SRC/include" -static "$ROOT/tests/win32/$t.cpp" "${OBJS[@]}" \
        "$OUT/gtest/libgtest.a" -o "$OUT/$t.exe"
done

echo "== Wine: fresh prefix on Xvfb"
SCRATCH=$(mktemp -d /tmp/qm-wine.XXXXXX)
DISPLAY_NUM=$(( 90 + RANDOM % 100 ))
PIDS=()
cleanup() {
    WINEPREFIX="$SCRATCH/prefix" "$WINESERVER" -k 2>/dev/null || true
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$SCRATCH"
}
trap cleanup EXIT
Xvfb ":$DISPLAY_NUM" -screen 0 1024x768x24 -nolisten tcp >"$SCRATCH/xvfb.log" 2>&1 &
PIDS+=($!)
export DISPLAY=":$DISPLAY_NUM" WINEPREFIX="$SCRATCH/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sleep 1
"$WINE" wineboot -i </dev/null >"$SCRATCH/boot.log" 2>&1
"$WINESERVER" -w
"$WINESERVER" -p   # stays up: each test starts in a moment

FAILED=0
PASSED=0
# Counts the test cases of one GoogleTest program; one that does not finish counts as a failure.
run_test() {
    echo "-- $1"
    local log="$SCRATCH/$1.log" rc=0
    # A file, not a pipe: Wine's helper processes inherit the output and would hold a pipe open.
    (cd "$OUT" && "$WINE" "$OUT/$1.exe" </dev/null >"$log" 2>&1) || rc=$?
    cat "$log"
    local ok bad
    ok=$(grep -c '^\[       OK \]' "$log" || true)
    bad=$(grep -c '^\[  FAILED  \] .*(' "$log" || true)
    PASSED=$((PASSED + ok))
    FAILED=$((FAILED + bad))
    if [ "$rc" != 0 ] && [ "$bad" = 0 ]; then FAILED=$((FAILED + 1)); fi
}

export QM_PIPE_EXPORT="Z:$SCRATCH/capture.pcap"
QM_PIPE_EXPORT=${QM_PIPE_EXPORT//\//\\}
run_test win32_pipe_test
echo "-- the captured stream, read on the Linux side"
if [ -f "$SCRATCH/capture.pcap" ] && [ "$(tshark -r "$SCRATCH/capture.pcap" 2>/dev/null | wc -l)" = 2000 ]; then
    echo "tshark reads 2000 records"; PASSED=$((PASSED + 1))
else
    echo "FAILED: tshark did not read the 2000 records"; FAILED=$((FAILED + 1))
fi

run_test win32_launch_test
run_test win32_settings_test

echo "-- COM$TEST_COM_PORT on a pty"
python3 "$ROOT/tests/win32/pty_port.py" "$WINEPREFIX/dosdevices/com$TEST_COM_PORT" >"$SCRATCH/pty.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do grep -q ready "$SCRATCH/pty.log" && break; sleep 0.05; done
QM_TEST_COM=$TEST_COM_PORT run_test win32_comm_test
sleep 0.5
grep -q "hung up" "$SCRATCH/pty.log" || { echo "FAILED: the pty helper did not hang up"; FAILED=$((FAILED + 1)); }

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
