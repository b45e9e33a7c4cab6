#!/bin/sh
# Real tshark as the pipe's client in tests. Started as
#   tshark_client.sh --out FILE -i FIFO -k
# tshark has no -k (it always starts at once), so that is dropped. The capture
# is written as FILE.part and renamed to FILE when the stream has ended.
out=
fifo=
while [ $# -gt 0 ]; do
    case "$1" in
        --out) out=$2; shift 2 ;;
        -i) fifo=$2; shift 2 ;;
        -k) shift ;;
        *) echo "tshark_client.sh: unexpected argument $1" >&2; exit 2 ;;
    esac
done
[ -n "$out" ] && [ -n "$fifo" ] || { echo "tshark_client.sh: needs --out FILE -i FIFO" >&2; exit 2; }
tshark=/usr/bin/tshark
# Bounded, so that a failed test never leaves tshark waiting on the FIFO.
timeout 60 "$tshark" -i "$fifo" -w "$out.part" >"$out.log" 2>&1
echo "exit $?" >>"$out.log"
mv "$out.part" "$out"
