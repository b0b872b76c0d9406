# Functions shared by the benchmark scripts; sourced, not run:
#
#   . "$(dirname "$0")/../../scripts/bench-lib.sh"     (from bench/<area>/)
#   . scripts/bench-lib.sh                             (from the repository)

# Fails unless every PROGRAM is built in BIN_DIR (configured with
# -DBLUR_BENCH=ON).
#   require_bench_programs BIN_DIR PROGRAM...
require_bench_programs() {
    rb_bin="$1"
    shift
    for rb_program in "$@"; do
        [ -x "$rb_bin/$rb_program" ] || {
            echo "missing $rb_bin/$rb_program (build with -DBLUR_BENCH=ON)" >&2
            exit 1
        }
    done
}

# Sets work to a new temporary directory, removed when the script ends.
make_work_dir() {
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT INT TERM
}

# The half-width h of convblur's window for the Gaussian radius R: the least
# integer at least R sqrt(17 ln 2), where the kernel has fallen to 2^-17.
#   convblur_half_width R
convblur_half_width() {
    awk -v r="$1" 'BEGIN { d = sqrt(17 * 0.6931471805599453) * r; h = int(d); if (h < d) h++; print h }'
}

# convblur's kernel as a vips matrix (16 bits per sample): rows
# dy = -(h-1) .. h-1, columns likewise, weight exp(-(dx^2 + dy^2)/r^2)/(pi r^2);
# scale 1, offset 0 (bias 0).
#   convblur_vips_matrix R >FILE.mat
convblur_vips_matrix() {
    awk -v r="$1" -v h="$(convblur_half_width "$1")" 'BEGIN {
        n = 2 * h - 1; pi = 3.141592653589793
        printf "%d %d 1 0\n", n, n
        for (i = 1 - h; i < h; i++) {
            line = ""
            for (j = 1 - h; j < h; j++)
                line = line sprintf("%s%.17g", (j > 1 - h ? " " : ""), exp(-(i*i + j*j) / (r*r)) / (pi*r*r))
            print line
        }
    }'
}

# A SIZE x SIZE 16-bit LZW TIFF of Gaussian noise (mean 32768, sigma 12000)
# made by vips, through intermediates in $work.
#   vips_noise_tiff SIZE OUT.tif
vips_noise_tiff() {
    vips gaussnoise "$work/noise.v" "$1" "$1" --mean 32768 --sigma 12000
    vips cast "$work/noise.v" "$work/noise16.v" ushort
    vips tiffsave "$work/noise16.v" "$2" --compression lzw
}
