#!/usr/bin/env python3
"""Writes tarvex's sample microcode: a plain record stream (two-byte
big-endian length L, then L bytes, back to back) of 6660 bytes, so that the
masked image with its 4 leading bytes is 6664 bytes long. The lengths cover
the masking rules: short records (L <= 4), the 16-byte group boundaries
(15, 16, 17, 20, 21, 32, 33, 36, 37) and long records. The content is a fixed
pseudo-random sequence, so the file is the same on every run."""
import sys

LENGTHS = [4, 1, 2, 3, 20, 21, 15, 16, 17, 32, 33, 36, 37, 64, 100, 255,
           256, 511, 1000, 1024, 48, 5]
TOTAL = 6660

def main(path):
    used = sum(l + 2 for l in LENGTHS)
    lengths = list(LENGTHS)
    rest = TOTAL - used  # two last records fill the stream up exactly:
    assert rest > 10, rest  # a long one and a short tail record of 3
    lengths += [rest - 2 - 5, 3]
    assert sum(l + 2 for l in lengths) == TOTAL
    state = 0x2545F491
    out = bytearray()
    for l in lengths:
        out += bytes([l >> 8, l & 0xFF])
        for _ in range(l):
            state = (state * 1103515245 + 12345) & 0xFFFFFFFF
            out.append((state >> 16) & 0xFF)
    with open(path, "wb") as f:
        f.write(out)

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "microcode.rec")
