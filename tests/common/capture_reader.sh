#!/bin/sh
# Stands in for Wireshark in the end-to-end tests: started as "PROG -i FIFO -k",
# it writes its pid to $QM_TEST_READER_PID and then, by $QM_TEST_READER_MODE,
#   copy  (default) copies the capture stream into $QM_TEST_CAPTURE_OUT until EOF
#   slow            the same, at most 512 bytes per 20 ms (slower than the dongle at line rate)
#   sleep           never opens the pipe
[ "$#" -eq 3 ] && [ "$1" = "-i" ] && [ "$3" = "-k" ] || exit 64
[ -n "$QM_TEST_READER_PID" ] && echo $$ > "$QM_TEST_READER_PID"
case "${QM_TEST_READER_MODE:-copy}" in
sleep) exec sleep 60 ;;
slow)
    exec 3<"$2"
    : > "$QM_TEST_CAPTURE_OUT"
    while n=$(dd bs=512 count=1 <&3 2>/dev/null | tee -a "$QM_TEST_CAPTURE_OUT" | wc -c) && [ "$n" -gt 0 ]; do
        sleep 0.02
    done
    ;;
*) exec cat -- "$2" > "$QM_TEST_CAPTURE_OUT" ;;
esac
