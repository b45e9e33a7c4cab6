#!/usr/bin/env python3
"""A serial device for Wine's COM port tests: a pty whose slave is linked as
$WINEPREFIX/dosdevices/comN. Owns the pty as its controlling terminal (its own
session), so that wineserver never gets it and no SIGHUP reaches Wine when
the master closes.

Protocol on the line: a line "ECHO <text>" is answered with "<TEXT>\n"
(upper case); "BULK <n>" with n bytes of the pattern i % 251; "HANGUP"
closes the line and ends the program (the Windows side sees the device gone).
"""
import fcntl, os, signal, sys, termios, time, tty

BULK_PATTERN_MOD = 251

def main():
    link = sys.argv[1]
    # Closing the master hangs up our own session: we must live to report it.
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    os.setsid()
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    tty.setraw(master)
    slave_name = os.ttyname(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(slave_name, link)
    print("ready", slave_name, flush=True)
    pending = b""
    while True:
        data = os.read(master, 4096)
        if not data:
            break
        pending += data
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            line = line.rstrip(b"\r")
            if line.startswith(b"ECHO "):
                os.write(master, line[5:].upper() + b"\n")
            elif line.startswith(b"BULK "):
                n = int(line[5:])
                out = bytes(i % BULK_PATTERN_MOD for i in range(n))
                view = memoryview(out)
                while view:
                    view = view[os.write(master, view):]
            elif line == b"HANGUP":
                time.sleep(0.2)
                os.unlink(link)
                os.close(master)
                os.close(slave)
                print("hung up", flush=True)
                return

if __name__ == "__main__":
    main()
