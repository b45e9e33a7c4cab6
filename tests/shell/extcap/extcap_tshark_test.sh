#!/usr/bin/env bash
# quillmark-extcap as Wireshark runs it, against the simulated dongle published
# in the ports directory beside the program:
#   - --install puts a link into an extcap folder; run through the link, the
#     program still reads the settings and ports beside the real one; what is
#     not ours is left alone; --uninstall takes the link away again;
#   - tshark -D lists the dongle; tshark -c N with the channel option captures
#     N frames equal to what the simulator sent, on that channel, and the
#     dongle gets the stop command when tshark ends the capture;
#   - the listing declares the toolbar's channel selector and log; the TAP
#     and hop options as tshark passes them give link type 283 with each
#     frame's channel (wpan-tap.ch_num); tshark passes no control pipes;
#   - the program stops the dongle and ends by itself when the FIFO's reader
#     goes away, and on SIGTERM leaves a valid pcap;
#   - a port that is not there is an error on stderr with a non-zero exit;
#   - a --fifo that is no FIFO (a regular file, a link to one) is refused with
#     exit code 1 and one line on stderr, the file left as it was.
#   extcap_tshark_test.sh <bin dir holding quillmark-extcap and qm-dongle-sim>
#
# Wireshark ignores WIRESHARK_EXTCAP_DIR for root, so as root the test copies
# what it needs into a private directory and runs there as "nobody".
set -euo pipefail

if [ -z "${QM_EXTCAP_TEST_WORK:-}" ]; then
    bin=$1
    work=$(mktemp -d /tmp/qm-extcap-test.XXXXXX)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/prog/ports" "$work/home" "$work/extcap" "$work/other"
    cp "$bin/quillmark-extcap" "$bin/qm-dongle-sim" "$work/prog/"
    cp "$0" "$work/test.sh"
    # The stored channel: the default offered, and the one used without --channel.
    printf '[Config]\nChannel=19\n' > "$work/prog/Quillmark.ini"
    chmod 755 "$work"
    run=(env QM_EXTCAP_TEST_WORK="$work" HOME="$work/home" XDG_CONFIG_HOME="$work/home"
         WIRESHARK_EXTCAP_DIR="$work/extcap" bash "$work/test.sh")
    rc=0
    if [ "$(id -u)" = 0 ]; then
        chown -R nobody:nogroup "$work"
        setpriv --reuid=nobody --regid=nogroup --clear-groups "${run[@]}" || rc=$?
    else
        "${run[@]}" || rc=$?
    fi
    exit $rc
fi

work=$QM_EXTCAP_TEST_WORK
prog=$work/prog
extcap=$prog/quillmark-extcap
cd "$work"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
fail=0
check() {   # check <what> <command...>
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fail=1; fi
}
# Waits up to $2 tenths of a second for the file $1 to contain $3.
wait_for() {
    for _ in $(seq "$2"); do grep -qF -- "$3" "$1" 2>/dev/null && return 0; sleep 0.1; done
    return 1
}
# Waits up to $2 tenths of a second for process $1 to end.
wait_gone() {
    for _ in $(seq "$2"); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
    return 1
}
# A fresh simulated dongle on COM200 (its sent frames in sim.pcap); sets $pty.
start_sim() {
    rm -f sim.pcap sim.out sim.err
    "$prog/qm-dongle-sim" --ports-dir "$prog/ports" --port 200 --rate 200 --sent-pcap sim.pcap \
        >sim.out 2>sim.err &
    sim=$!
    pids+=("$sim")
    wait_for sim.out 100 ready || { echo "FAIL: the simulator did not start"; cat sim.err; exit 1; }
    pty=$(sed -n 's/^ready //p' sim.out)
}
stop_sim() {
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
}

start_sim
name="Quillmark 802.15.4 sniffer: Serial port on $pty (COM200)"

# --- install, through the link, uninstall
"$extcap" --install "$work/extcap" >install.out
check "--install makes a link to the program" test "$(readlink "$work/extcap/quillmark-extcap")" = "$extcap"
check "--install again replaces the link" bash -c "'$extcap' --install '$work/extcap' >/dev/null"
"$work/extcap/quillmark-extcap" --extcap-interfaces >interfaces.out
check "the link lists the dongle of the ports beside the program" \
    grep -qxF "interface {value=quillmark-COM200}{display=$name}" interfaces.out
check "the listing starts with the version" grep -qE '^extcap \{version=[0-9.]+\}\{help=.+\}\{display=.+\}$' interfaces.out
"$work/extcap/quillmark-extcap" --extcap-config --extcap-interface quillmark-COM200 >config.out
check "the stored channel beside the program is the default" \
    grep -qxF "value {arg=0}{value=19}{display=19 (0x13)  2.445 GHz}{default=true}" config.out
check "the toolbar's channel selector is declared" \
    grep -qxF "control {number=0}{type=selector}{display=Channel}{tooltip=Retune the dongle while it captures}" \
    interfaces.out
check "... with the stored channel its default" \
    grep -qxF "value {control=0}{value=19}{display=19 (0x13)  2.445 GHz}{default=true}" interfaces.out
check "the options offer hopping, its dwell and TAP" \
    bash -c "grep -qF '{call=--hop}' config.out && grep -qF '{call=--dwell}' config.out && grep -qF '{call=--tap}' config.out"
echo "somebody else's" >"$work/other/quillmark-extcap"
check "--install leaves a file that is not ours" \
    bash -c "! '$extcap' --install '$work/other' 2>/dev/null && grep -q else '$work/other/quillmark-extcap'"
check "--uninstall leaves a file that is not ours" \
    bash -c "! '$extcap' --uninstall '$work/other' 2>/dev/null && test -f '$work/other/quillmark-extcap'"
check "--install into the program's own folder changes nothing" \
    bash -c "'$extcap' --install '$prog' | grep -q already && test -f '$extcap' -a ! -L '$extcap'"
check "--uninstall there leaves the program" bash -c "! '$extcap' --uninstall '$prog' 2>/dev/null && test -f '$extcap'"
check "a bad channel is refused" bash -c "! '$extcap' --capture --channel 27 2>/dev/null"

# --- tshark
tshark -D >tshark-d.out 2>/dev/null || true
check "tshark -D lists the dongle" grep -qF "quillmark-COM200 ($name)" tshark-d.out
frames=40
timeout 120 tshark -i quillmark-COM200 -o extcap.quillmark_com200.channel:15 -c $frames -F pcap -w out.pcap \
    >tshark.out 2>tshark.err || { echo "FAIL: tshark capture"; cat tshark.err; fail=1; }
check "the dongle is set to the channel of the option" grep -qF "cmd set-channel 15" sim.err
check "the dongle gets the stop command when tshark ends the capture" wait_for sim.err 100 "cmd stop"
stop_sim
tshark -r sim.pcap -c $frames -x >sent.hex 2>/dev/null || true
tshark -r out.pcap -x >got.hex 2>/dev/null || true
check "tshark captured $frames frames" test "$(grep -c '^0000 ' got.hex)" -eq $frames
check "the frames equal the ones the dongle sent" cmp -s sent.hex got.hex
check "no error reached tshark" bash -c "! grep -q 'Error by extcap' tshark.err"

# --- TAP and hopping through tshark's options (a ticked flag is "true")
start_sim
timeout 120 tshark -i quillmark-COM200 -o extcap.quillmark_com200.channel:17 -o extcap.quillmark_com200.tap:true \
    -c 10 -F pcap -w tap.pcap >/dev/null 2>tap.err || { echo "FAIL: tshark TAP capture"; cat tap.err; fail=1; }
check "--tap: link type 283" bash -c "capinfos -E tap.pcap | grep -q 'TAP pseudo-header'"
check "... every frame on channel 17" test "$(tshark -r tap.pcap -T fields -e wpan-tap.ch_num 2>/dev/null | sort -u)" = 17
timeout 120 tshark -i quillmark-COM200 -o extcap.quillmark_com200.hop:12,24 -o extcap.quillmark_com200.dwell:0.2 \
    -a duration:2 -F pcap -w hop.pcap >/dev/null 2>hop.err || { echo "FAIL: tshark hop capture"; cat hop.err; fail=1; }
check "--hop: both channels, each frame with its own" \
    test "$(tshark -r hop.pcap -T fields -e wpan-tap.ch_num 2>/dev/null | sort -u | tr '\n' ' ')" = "12 24 "
check "... the dongle set to each" bash -c "grep -qF 'cmd set-channel 12' sim.err && grep -qF 'cmd set-channel 24' sim.err"
check "tshark passes no control pipes: nothing went wrong without them" \
    bash -c "! grep -q 'Error by extcap' tap.err hop.err"
stop_sim

# --- the FIFO's reader goes away: the dongle is stopped, the program ends by itself
start_sim
mkfifo fifo
"$extcap" --capture --extcap-interface quillmark-COM200 --fifo fifo --extcap-control-in x >gone.out 2>gone.err &
ext=$!
pids+=("$ext")
timeout 60 head -c 3000 fifo >/dev/null || true
check "without --channel the stored channel is used" wait_for sim.err 100 "cmd set-channel 19"
check "the program ends when its reader has gone" wait_gone "$ext" 100
rc=0
wait "$ext" || rc=$?
check "... with exit code 0 and nothing on stderr" test "$rc" -eq 0 -a ! -s gone.err
check "... and the dongle gets the stop command" wait_for sim.err 50 "cmd stop"
stop_sim

# --- SIGTERM, as Wireshark stops a capture
start_sim
cat fifo >term.pcap &
reader=$!
pids+=("$reader")
"$extcap" --capture --extcap-interface quillmark-COM200 --fifo fifo --channel 26 >term.out 2>term.err &
ext=$!
pids+=("$ext")
wait_for sim.err 100 "cmd start" || { echo "FAIL: the capture did not start"; fail=1; }
for _ in $(seq 100); do [ "$(stat -c %s term.pcap)" -gt 1000 ] && break; sleep 0.1; done
kill -TERM "$ext"
check "SIGTERM ends the program" wait_gone "$ext" 100
rc=0
wait "$ext" || rc=$?
check "... with exit code 0 and nothing on stderr" test "$rc" -eq 0 -a ! -s term.err
check "... and the dongle gets the stop command" wait_for sim.err 50 "cmd stop"
wait "$reader" 2>/dev/null || true
check "... leaving a pcap tshark reads whole" bash -c "[ \$(tshark -r term.pcap 2>/dev/null | wc -l) -gt 0 ] \
    && tshark -r term.pcap >/dev/null 2>&1"
stop_sim

# --- SIGTERM while the FIFO waits for a reader that never comes (Wireshark gave up)
rm -f fifo && mkfifo fifo
"$extcap" --capture --extcap-interface quillmark-COM200 --fifo fifo --stop-wait 200 >noreader.out 2>noreader.err &
ext=$!
pids+=("$ext")
for _ in $(seq 100); do [ "$(cat /proc/$ext/wchan 2>/dev/null)" = wait_for_partner ] && break; sleep 0.1; done
kill -TERM "$ext"
check "SIGTERM ends a program whose FIFO never got a reader" wait_gone "$ext" 100
rc=0
wait "$ext" || rc=$?
check "... with exit code 0 and nothing on stderr" test "$rc" -eq 0 -a ! -s noreader.err

# --- a port that is not there
cat fifo >/dev/null &
reader=$!
pids+=("$reader")
rc=0
timeout 60 "$extcap" --capture --extcap-interface quillmark-COM201 --fifo fifo >missing.out 2>missing.err || rc=$?
check "a missing port fails with a message" test "$rc" -ne 0 -a "$rc" -ne 124 -a -s missing.err
kill "$reader" 2>/dev/null || true

# --- a --fifo that is a regular file, or a link to one: refused, the file untouched
printf 'precious\nbytes\n' >precious.txt
cp precious.txt precious.orig
ln -s precious.txt precious-link
for f in precious.txt precious-link; do
    rc=0
    timeout 20 "$extcap" --capture --extcap-interface quillmark-COM200 --fifo "$f" >notfifo.out 2>notfifo.err || rc=$?
    check "--fifo $f (a regular file) fails with exit code 1" test "$rc" -eq 1
    check "... with one line on stderr saying so" bash -c "[ \$(wc -l <notfifo.err) -eq 1 ] \
        && grep -qxF 'quillmark-extcap: --fifo $f is not a FIFO: Wireshark hands the extcap a FIFO; nothing was written' \
        notfifo.err"
    check "... and leaves the file as it was" cmp -s precious.orig precious.txt
done

"$extcap" --uninstall "$work/extcap" >/dev/null
check "--uninstall removes the link" test ! -e "$work/extcap/quillmark-extcap" -a ! -L "$work/extcap/quillmark-extcap"
exit $fail
