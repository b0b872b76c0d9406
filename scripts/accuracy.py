#!/usr/bin/env python3
"""Independent figures for the accuracy sweep (scripts/sweep.sh).

    accuracy.py disk CSV CX CY R VALUE BIAS L BITS
        Compares an image of the blurred disk (as tab-separated samples, one
        row per line, e.g. from `vips csvsave`) with the Gaussian blur of the
        ideal disk computed here by quadrature, and prints the largest and
        the RMS difference in sample units, and the number of samples that
        differ from the correctly rounded value.

    accuracy.py kernelsums BITS R...
        Prints, for each radius, the half-width h and the sum of the sampled
        Gaussian exp(-(i^2+j^2)/r^2)/(pi r^2) over the (2h-1)^2 window that
        the direct filter keeps at that depth.

Only the standard library is used.  The blurred disk at a point p is the
Gaussian's mass over the disk: along each row y of the disk the 1-D mass
between the chord's ends is an erf difference, and the rows are integrated
with Gauss-Legendre panels of a fraction of L in y, mapped through
y = cy + R sin(phi) so that the chord's square-root ends are smooth.
"""
import math
import sys


def legendre(n):
    """Nodes and weights of n-point Gauss-Legendre quadrature on [-1, 1]."""
    nodes, weights = [], []
    for i in range(1, n + 1):
        x = math.cos(math.pi * (i - 0.25) / (n + 0.5))
        for _ in range(100):
            p0, p1 = 1.0, x
            for k in range(2, n + 1):
                p0, p1 = p1, ((2 * k - 1) * x * p1 - (k - 1) * p0) / k
            dp = n * (x * p1 - p0) / (x * x - 1)
            dx = p1 / dp
            x -= dx
            if abs(dx) < 1e-15:
                break
        nodes.append(x)
        weights.append(2 / ((1 - x * x) * dp * dp))
    return nodes, weights


NODES, WEIGHTS = legendre(10)


def blurred_disk(rho, radius, l):
    """Fraction of the Gaussian of radius l centred at distance rho from the
    centre of a disk of the given radius that falls inside the disk."""
    if rho - radius > 9 * l:
        return 0.0
    if radius - rho > 9 * l:
        return 1.0
    # Point p = (rho, 0), disk centred at the origin; rows y in
    # [-radius, radius] within 9 l of p's row.
    lo = max(-radius, -9 * l)
    hi = min(radius, 9 * l)
    panels = max(4, int(math.ceil((hi - lo) / (0.25 * l))))
    total = 0.0
    for k in range(panels):
        ya = lo + (hi - lo) * k / panels
        yb = lo + (hi - lo) * (k + 1) / panels
        pa = math.asin(max(-1.0, min(1.0, ya / radius)))
        pb = math.asin(max(-1.0, min(1.0, yb / radius)))
        half = (pb - pa) / 2
        mid = (pb + pa) / 2
        for x, w in zip(NODES, WEIGHTS):
            phi = mid + half * x
            y = radius * math.sin(phi)
            chord = radius * math.cos(phi)
            # 1-D mass of exp(-t^2/l^2)/(sqrt(pi) l) between the chord's ends
            mass = 0.5 * (math.erf((chord - rho) / l) - math.erf((-chord - rho) / l))
            density = math.exp(-(y * y) / (l * l)) / (math.sqrt(math.pi) * l)
            total += w * half * density * mass * chord  # dy = R cos(phi) dphi
    return total


def disk(args):
    path = args[0]
    cx, cy, radius, value, bias, l = map(float, args[1:7])
    bits = int(args[7])
    top = (1 << bits) - 1
    cache = {}
    worst = 0.0
    squares = 0.0
    count = 0
    wrong = 0
    with open(path) as f:
        for y, line in enumerate(f):
            for x, text in enumerate(line.split()):
                key = (x - cx) ** 2 + (y - cy) ** 2
                exact = cache.get(key)
                if exact is None:
                    exact = bias + value * blurred_disk(math.sqrt(key), radius, l)
                    cache[key] = exact
                d = float(text) - exact
                worst = max(worst, abs(d))
                squares += d * d
                count += 1
                rounded = min(top, max(0, int(math.floor(exact + 0.5))))
                wrong += int(text) != rounded
    print("%.4f\t%.4f\t%d" % (worst, math.sqrt(squares / count), wrong))


def kernelsums(args):
    bits = int(args[0])
    for text in args[1:]:
        r = float(text)
        h = max(1, int(math.ceil(r * math.sqrt((bits + 1) * math.log(2)))))
        total = 0.0
        for i in range(-(h - 1), h):
            for j in range(-(h - 1), h):
                total += math.exp(-(i * i + j * j) / (r * r))
        print("%g\t%d\t%.6f" % (r, h, total / (math.pi * r * r)))


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in ("disk", "kernelsums"):
        sys.exit(__doc__)
    {"disk": disk, "kernelsums": kernelsums}[sys.argv[1]](sys.argv[2:])


if __name__ == "__main__":
    main()
