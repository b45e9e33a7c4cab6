#!/usr/bin/env bash
# Runs the Win32 serial tests against a pty-backed COM port: pty_port.py
# serves the line from the Linux side (linked as $WINEPREFIX/dosdevices/comN),
# the test program runs under Wine and ends with HANGUP, after which the
# helper must have seen the line close.
#   com_port_test.sh <pty_port.py> <wine> <win32_comm_test.exe>
set -euo pipefail
helper=$1 wine=$2 exe=$3
port=${QM_TEST_COM:-201}
: "${WINEPREFIX:?the Wine prefix (WINEPREFIX) must be set up first}"
log=$(mktemp /tmp/qm-pty-port.XXXXXX)
out=$(mktemp /tmp/qm-comm-test.XXXXXX)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    rm -f "$log" "$out"
}
trap cleanup EXIT
python3 "$helper" "$WINEPREFIX/dosdevices/com$port" >"$log" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q ready "$log" && break; sleep 0.05; done
grep -q ready "$log" || { echo "the pty helper did not start:"; cat "$log"; exit 1; }
rc=0
# A file, not a pipe: Wine's helper processes could hold a pipe open.
QM_TEST_COM=$port "$wine" "$exe" </dev/null >"$out" 2>&1 || rc=$?
cat "$out"
[ "$rc" = 0 ] || exit "$rc"
for _ in $(seq 20); do grep -q "hung up" "$log" && break; sleep 0.05; done
grep -q "hung up" "$log" || { echo "FAILED: the pty helper did not hang up"; cat "$log"; exit 1; }
