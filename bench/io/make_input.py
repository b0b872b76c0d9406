"""make_input.py SIZE BITS OUT: an uncompressed grey TIFF of SIZE x SIZE
samples at 8 or 16 bits, smooth waves plus noise, for the read + write
benchmark (libtiff's tiffcp then stores it with LZW)."""
import math
import random
import struct
import sys

size, bits, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
top = (1 << bits) - 1
rng = random.Random(1)
wave_x = [math.sin(x * 0.013) for x in range(size)]
bps = bits // 8
rows_per_strip = max(1, 8192 // (size * bps))
strips = (size + rows_per_strip - 1) // rows_per_strip
data = bytearray()
fmt = "<%d%s" % (size, "B" if bits == 8 else "H")
for y in range(size):
    cy = math.cos(y * 0.021)
    row = [min(top, max(0, int(top * (0.45 + 0.3 * wx * cy + rng.uniform(-0.02, 0.02)))))
           for wx in wave_x]
    data += struct.pack(fmt, *row)
strip_bytes = rows_per_strip * size * bps
header = 8
offsets = [header + i * strip_bytes for i in range(strips)]
counts = [min(strip_bytes, len(data) - i * strip_bytes) for i in range(strips)]
tables = header + len(data)
ifd = tables + 8 * strips
entries = [(256, 4, 1, size), (257, 4, 1, size), (258, 3, 1, bits), (259, 3, 1, 1),
           (262, 3, 1, 1), (273, 4, strips, tables), (277, 3, 1, 1),
           (278, 4, 1, rows_per_strip), (279, 4, strips, tables + 4 * strips)]
with open(out, "wb") as f:
    f.write(b"II" + struct.pack("<HI", 42, ifd))
    f.write(data)
    f.write(struct.pack("<%dI" % strips, *offsets))
    f.write(struct.pack("<%dI" % strips, *counts))
    f.write(struct.pack("<H", len(entries)))
    for tag, typ, count, value in entries:
        if typ == 3:
            f.write(struct.pack("<HHIHH", tag, typ, count, value, 0))
        else:
            f.write(struct.pack("<HHII", tag, typ, count, value))
    f.write(struct.pack("<I", 0))
