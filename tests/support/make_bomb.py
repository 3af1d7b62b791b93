#!/usr/bin/env python3
"""Writes archive bombs quickly, as valid gzip tar streams.

  make_bomb.py zeros SIZE OUT     one entry of SIZE zero bytes (SIZE a
                                  multiple of 1 MiB)
  make_bomb.py entries COUNT OUT  COUNT empty files named e0000000, ...

A zero run is compressed once, 1 MiB of it, and that deflate piece is
repeated: each piece ends with a full flush, so it references nothing before
it and decodes on its own. The CRC of the whole stream is put together with
zlib's combination rule instead of being computed over every byte.
"""
import struct
import sys
import tarfile
import zlib

MIB = 1 << 20


def gf2_times(matrix, vector):
    total = 0
    i = 0
    while vector:
        if vector & 1:
            total ^= matrix[i]
        vector >>= 1
        i += 1
    return total


def gf2_square(matrix):
    return [gf2_times(matrix, m) for m in matrix]


def crc32_combine(crc1, crc2, len2):
    """The CRC-32 of A+B from crc(A), crc(B) and len(B), as zlib computes it."""
    if len2 <= 0:
        return crc1
    odd = [0xEDB88320] + [1 << i for i in range(31)]
    even = gf2_square(odd)
    odd = gf2_square(even)
    while True:
        even = gf2_square(odd)
        if len2 & 1:
            crc1 = gf2_times(even, crc1)
        len2 >>= 1
        if not len2:
            break
        odd = gf2_square(even)
        if len2 & 1:
            crc1 = gf2_times(odd, crc1)
        len2 >>= 1
        if not len2:
            break
    return crc1 ^ crc2


def gzip_header():
    return b"\x1f\x8b\x08\x00" + b"\x00" * 4 + b"\x00\x03"


def zeros(size, out):
    assert size % MIB == 0
    info = tarfile.TarInfo("zeros")
    info.size = size
    info.mode = 0o644
    header = info.tobuf(format=tarfile.GNU_FORMAT)
    trailer = b"\0" * 1024
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    head = compressor.compress(header) + compressor.flush(zlib.Z_FULL_FLUSH)
    piece_compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    piece = piece_compressor.compress(b"\0" * MIB) + piece_compressor.flush(zlib.Z_FULL_FLUSH)
    tail = compressor.compress(trailer) + compressor.flush()
    zero_crc = zlib.crc32(b"\0" * MIB)
    # The CRC of n MiB of zeros by doubling: crc(AA) = combine(crc(A), crc(A), len(A)).
    runs_crc, runs_len = 0, 0
    block_crc, block_len, n = zero_crc, MIB, size // MIB
    while n:
        if n & 1:
            runs_crc = crc32_combine(runs_crc, block_crc, block_len) if runs_len else block_crc
            runs_len += block_len
        block_crc = crc32_combine(block_crc, block_crc, block_len)
        block_len *= 2
        n >>= 1
    crc = zlib.crc32(header)
    crc = crc32_combine(crc, runs_crc, size)
    crc = crc32_combine(crc, zlib.crc32(trailer), len(trailer))
    total = len(header) + size + len(trailer)
    with open(out, "wb") as f:
        f.write(gzip_header())
        f.write(head)
        f.write(piece * (size // MIB))
        f.write(tail)
        f.write(struct.pack("<II", crc & 0xFFFFFFFF, total & 0xFFFFFFFF))


def entries(count, out):
    template = bytearray(tarfile.TarInfo("e0000000").tobuf(format=tarfile.USTAR_FORMAT))
    template[148:156] = b" " * 8
    base = sum(template) - sum(b"e0000000")
    rest = bytes(template[8:148])
    after = bytes(template[156:])
    compressor = zlib.compressobj(1, zlib.DEFLATED, 31)
    with open(out, "wb") as f:
        batch = []
        for i in range(count):
            name = b"e%07d" % i
            checksum = base + sum(name)
            batch.append(name + rest + b"%06o\0 " % checksum + after)
            if len(batch) == 8192:
                f.write(compressor.compress(b"".join(batch)))
                batch = []
        batch.append(b"\0" * 1024)
        f.write(compressor.compress(b"".join(batch)))
        f.write(compressor.flush())


if __name__ == "__main__":
    kind, amount, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    {"zeros": zeros, "entries": entries}[kind](amount, out)
