#!/usr/bin/env python3
"""Writes the PE image checksum of a driver in place (GNU ld leaves it zero; the loader checks it).

The checksum is the 16-bit one's-complement style sum of the file's little-endian 16-bit words,
with the CheckSum field itself counted as zero, folded to 16 bits and added to the file length.
"""
import struct
import sys


def checksum_offset(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    return pe + 4 + 20 + 64  # signature, file header, CheckSum's offset in the optional header


def pe_checksum(data):
    offset = checksum_offset(data)
    padded = data + (b"\0" if len(data) % 2 else b"")
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    # The CheckSum field was counted; take it back out.
    total -= struct.unpack_from("<H", data, offset)[0] + struct.unpack_from("<H", data, offset + 2)[0]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(path):
    with open(path, "rb") as image:
        data = bytearray(image.read())
    struct.pack_into("<I", data, checksum_offset(data), pe_checksum(bytes(data)))
    with open(path, "wb") as image:
        image.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
