#!/usr/bin/env python3
"""Exits 0 when two pcap files hold the same frames in the same order (link
type and record payloads compared; time stamps are each writer's own) and,
given a third argument, exactly that many. With --prefix first, the second
file may stop early: it must hold the first frames of the first one (a
capture that ended while the sender went on). Prints the first difference."""
import struct, sys

def read_pcap(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        raise ValueError(f"{path}: no global header")
    magic = struct.unpack("<I", data[:4])[0]
    endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    linktype = struct.unpack(endian + "I", data[20:24])[0]
    frames, pos = [], 24
    while pos + 16 <= len(data):
        incl = struct.unpack(endian + "I", data[pos + 8:pos + 12])[0]
        frames.append(data[pos + 16:pos + 16 + incl])
        pos += 16 + incl
    if pos != len(data):
        raise ValueError(f"{path}: {len(data) - pos} bytes of a cut record at the end")
    return linktype, frames

def main():
    args = sys.argv[1:]
    prefix = bool(args) and args[0] == "--prefix"
    if prefix:
        args = args[1:]
    sent_type, sent = read_pcap(args[0])
    got_type, got = read_pcap(args[1])
    if sent_type != got_type:
        print(f"link types differ: {sent_type} sent, {got_type} captured"); return 1
    for i, (a, b) in enumerate(zip(sent, got)):
        if a != b:
            print(f"frame {i} differs: sent {a.hex()} captured {b.hex()}"); return 1
    if len(sent) < len(got) or (len(sent) != len(got) and not prefix):
        print(f"{len(sent)} frames sent, {len(got)} captured"); return 1
    if len(args) > 2 and len(got) != int(args[2]):
        print(f"{len(got)} frames, {args[2]} expected"); return 1
    print(f"{len(got)} frames, link type {got_type}, identical" + (f" to the first of {len(sent)}" if prefix else ""))
    return 0

if __name__ == "__main__":
    sys.exit(main())
