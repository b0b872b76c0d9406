#!/usr/bin/env python3
"""Today's and an earlier build of diskblur and ballblur on a corpus of cases.

For every case both builds write their files; identical files count as
unchanged.  For files that differ, both are decoded (through libtiff's
tiffcp into uncompressed strips) and every changed sample is listed with
the distance of its exact value from the nearest half-integer, the exact
value computed with 50-digit arithmetic (mpmath): for diskblur the profile
series (stopped where the definition stops it) interpolated as the program
does, for ballblur the closed form.

    python3 bench/diskblur/compare_corpus.py OLD_BIN_DIR NEW_BIN_DIR
"""
import os
import struct
import subprocess
import sys
import tempfile

import mpmath as mp

mp.mp.dps = 50

DISK_CASES = [
    # Nx Ny Ox Oy R value [bias] L
    "64 64 31.5 31.5 20 1 2",
    "64 48 30.2 20.7 12 3 1.5",
    "80 80 40 40 25 15 0.7",
    "100 90 49.3 44.1 30 255 4",
    "128 128 63.5 63.5 40 60000 4",
    "128 100 70.2 40.8 33 255 10 3",
    "90 90 45 45 30 -100 100 2",
    "96 96 47.1 46.9 20 -1000 60000 5",
    "64 64 -10 20 30 255 3",
    "64 64 100 120 50 255 6",
    "120 120 60 60 50 255 0.3",
    "120 120 59.7 60.2 45 60000 0.05",
    "100 100 50 50 0.5 255 3",
    "100 100 50.5 49.5 3 255 20",
    "200 200 99.5 99.5 90 60000 1",
    "160 160 80 80 70 65535 12",
    "64 64 32 32 10 255.3 0.7 2",
    "100 80 10 70 40 1000 500 8",
    "256 256 127.5 127.5 120 60000 0.6",
    "80 80 40 40 39 15 2 1",
    "50 300 25 150 100 255 7",
    "300 60 150 30 25.25 3 0 1.3",
]

BALL_CASES = [
    # Nx Ny Nz Ox Oy Oz R value [bias] L
    "24 24 24 11.5 11.5 11.5 8 1 1",
    "24 20 16 10.3 9.7 7.2 6 3 0.8",
    "32 32 32 15.5 15.5 15.5 10 15 2",
    "32 32 32 16 16 16 10 255 1.5",
    "40 40 40 19.3 20.6 19.1 15 60000 4",
    "32 32 20 15.5 15.5 9.5 8 255 10 1",
    "30 30 30 14.5 14.5 14.5 9 -100 100 1.2",
    "30 30 30 14.2 15.1 14.7 10 -1000 60000 2",
    "24 24 24 -5 10 10 12 255 2",
    "24 24 24 30 30 30 20 255 3",
    "40 40 40 20 20 20 15 255 0.2",
    "40 40 40 19.7 20.2 20.1 15 60000 0.05",
    "30 30 30 15 15 15 0 255 1",
    "30 30 30 15.5 14.5 15 0.5 255 3",
    "30 30 30 15 15 15 2 60000 20",
    "48 48 48 23.5 23.5 23.5 20 65535 6",
    "24 24 24 12 12 12 6 255.3 0.7 2",
    "30 30 30 5 25 15 12 1000 500 3",
    "64 64 64 31.5 31.5 31.5 28 60000 0.6",
    "24 24 24 12 12 12 11 15 2 1",
    "20 60 20 10 30 10 9 255 1.5",
    "60 16 16 30 8 8 7.25 3 0 1.3",
]


def read_samples(path, work):
    """Width, height, bits and the samples of a TIFF file, row by row."""
    raw = os.path.join(work, "raw.tif")
    subprocess.run(["tiffcp", "-c", "none", path, raw], check=True)
    data = open(raw, "rb").read()
    assert data[:2] == b"II"
    (ifd,) = struct.unpack_from("<I", data, 4)
    (count,) = struct.unpack_from("<H", data, ifd)
    tags = {}
    sizes = {3: 2, 4: 4}
    for i in range(count):
        tag, kind, n, value = struct.unpack_from("<HHII", data, ifd + 2 + 12 * i)
        if tag not in (256, 257, 258, 273, 279):
            continue
        size = sizes[kind]
        if n * size <= 4:
            vals = [struct.unpack_from("<H" if size == 2 else "<I", data, ifd + 10 + 12 * i + size * k)[0] for k in range(n)]
        else:
            vals = [struct.unpack_from("<H" if size == 2 else "<I", data, value + size * k)[0] for k in range(n)]
        tags[tag] = vals
    width, height, bits = tags[256][0], tags[257][0], tags[258][0]
    offsets, counts = tags[273], tags[279]
    body = b"".join(data[o:o + c] for o, c in zip(offsets, counts))
    row_bytes = (width * bits + 7) // 8
    rows = []
    for y in range(height):
        row = body[y * row_bytes:(y + 1) * row_bytes]
        if bits == 16:
            rows.append(list(struct.unpack("<%dH" % width, row)))
        else:
            bitstring = int.from_bytes(row, "big")
            total = row_bytes * 8
            rows.append([(bitstring >> (total - bits * (x + 1))) & ((1 << bits) - 1) for x in range(width)])
    return width, height, bits, rows


def disk_fraction(r, R, L):
    """The profile series as defined, in 50-digit arithmetic."""
    r, R, L = mp.mpf(r), mp.mpf(R), mp.mpf(L)
    a = 2 * r * R / L**2
    e = mp.exp(-(r - R) ** 2 / L**2)
    inside = r < R
    q = r / R if inside else R / r
    if a == 0:
        return 1 - e if inside else mp.mpf(0)
    top = int(mp.sqrt(50 * a)) + int(4 * mp.sqrt(a)) + 200
    y = [mp.mpf(0)] * (top + 2)
    y[top] = mp.mpf(10) ** -300
    for j in range(top, 0, -1):
        y[j - 1] = 2 * j / a * y[j] + y[j + 1]
    norm = y[0] + 2 * sum(y[1:])
    s = y[0] / norm if inside else mp.mpf(0)
    p = mp.mpf(1)
    for j in range(1, top + 1):
        p *= q
        t = p * y[j] / norm
        s += t
        if t == 0 or abs(t / s) <= mp.mpf("1e-9"):
            break
    return 1 - e * s if inside else e * s


def ball_fraction(d, R, L):
    d, R, L = mp.mpf(d), mp.mpf(R), mp.mpf(L)
    if d < mp.mpf("1e-9"):
        q = R / L
        return mp.erf(q) - 2 / mp.sqrt(mp.pi) * q * mp.exp(-q * q)
    u, w = (R - d) / L, (R + d) / L
    return (mp.erf(u) + mp.erf(w) - (L / d) * (mp.exp(-u * u) - mp.exp(-w * w)) / mp.sqrt(mp.pi)) / 2


def half_distance(level):
    """Distance of a level from the nearest half-integer."""
    return abs(level - (mp.floor(level) + mp.mpf("0.5")))


def parse(case, ball):
    a = case.split()
    n = 3 if ball else 2
    sizes = [int(v) for v in a[:n]]
    centre = [float(v) for v in a[n:2 * n]]
    R = float(a[2 * n])
    value = float(a[2 * n + 1])
    bias = float(a[2 * n + 2]) if len(a) == 2 * n + 4 else 0.0
    L = float(a[-1])
    return sizes, centre, R, value, bias, L


def disk_exact(case, x, y):
    (nx, ny), (ox, oy), R, value, bias, L = parse(case, False)
    dx = x - ox
    dy = y - oy
    d = (dx * dx + dy * dy) ** 0.5
    s = 16.0 * d
    k = int(s)
    w = s - k
    f0 = disk_fraction(k / 16.0, R, L)
    f1 = disk_fraction((k + 1) / 16.0, R, L)
    return bias + value * (f0 + mp.mpf(w) * (f1 - f0))


def ball_exact(case, x, y, z):
    _, (ox, oy, oz), R, value, bias, L = parse(case, True)
    dx, dy, dz = x - ox, y - oy, z - oz
    d = (dx * dx + dy * dy + dz * dz) ** 0.5
    return bias + value * ball_fraction(d, R, L)


def compare(old_file, new_file, work, exact):
    if open(old_file, "rb").read() == open(new_file, "rb").read():
        return []
    _, _, _, a = read_samples(old_file, work)
    _, _, _, b = read_samples(new_file, work)
    changes = []
    for y, (ra, rb) in enumerate(zip(a, b)):
        for x, (sa, sb) in enumerate(zip(ra, rb)):
            if sa != sb:
                changes.append((x, y, sa, sb, half_distance(exact(x, y))))
    return changes


def run(binary, args):
    result = subprocess.run([binary] + args, capture_output=True)
    return result.returncode, result.stderr


def main():
    old_dir, new_dir = sys.argv[1], sys.argv[2]
    worst = mp.mpf(0)
    total_changed = 0
    total_samples = 0
    with tempfile.TemporaryDirectory() as work:
        print("== diskblur (%d cases)" % len(DISK_CASES))
        for case in DISK_CASES:
            outs = {}
            for tag, d in (("old", old_dir), ("new", new_dir)):
                c, g = os.path.join(work, tag + "c.tif"), os.path.join(work, tag + "g.tif")
                outs[tag] = run(os.path.join(d, "diskblur"), case.split() + [c, g]) + ((c, g),)
            assert outs["old"][:2] == outs["new"][:2], case
            (nx, ny), *_ = parse(case, False)
            total_samples += 2 * nx * ny
            changes = []
            for i in range(2):
                changes += compare(outs["old"][2][i], outs["new"][2][i], work, lambda x, y: disk_exact(case, x, y))
            total_changed += len(changes)
            print("%-40s changed samples: %d" % (case, len(changes)))
            for x, y, sa, sb, dist in changes:
                worst = max(worst, dist)
                print("    (%d, %d): %d -> %d, exact value %s from a half-integer" % (x, y, sa, sb, mp.nstr(dist, 3)))
        print("== ballblur (%d cases)" % len(BALL_CASES))
        for case in BALL_CASES:
            outs = {}
            (nx, ny, nz), *_ = parse(case, True)
            for tag, d in (("old", old_dir), ("new", new_dir)):
                s, g = os.path.join(work, tag + "S"), os.path.join(work, tag + "G")
                for p in (s, g):
                    subprocess.run(["rm", "-rf", p])
                    os.mkdir(p)
                outs[tag] = run(os.path.join(d, "ballblur"), case.split() + [s, g]) + ((s, g),)
            assert outs["old"][:2] == outs["new"][:2], case
            total_samples += 2 * nx * ny * nz
            changes = []
            for i in range(2):
                names = sorted(os.listdir(outs["old"][2][i]))
                assert names == sorted(os.listdir(outs["new"][2][i]))
                for z, name in enumerate(names):
                    changes += [(x, y, z, sa, sb, dist) for x, y, sa, sb, dist in compare(
                        os.path.join(outs["old"][2][i], name), os.path.join(outs["new"][2][i], name), work,
                        lambda x, y, z=z: ball_exact(case, x, y, z))]
            total_changed += len(changes)
            print("%-40s changed samples: %d" % (case, len(changes)))
            for x, y, z, sa, sb, dist in changes:
                worst = max(worst, dist)
                print("    (%d, %d, %d): %d -> %d, exact value %s from a half-integer" % (x, y, z, sa, sb, mp.nstr(dist, 3)))
    print("== %d of %d samples changed; largest distance of a changed sample's exact value from a half-integer: %s"
          % (total_changed, total_samples, mp.nstr(worst, 3)))


if __name__ == "__main__":
    main()
