// Writes a small seed corpus for the reader's fuzzer into the directory
// given as the argument: files from our writer at every depth, and crafted
// files for the layouts it does not write (uncompressed, PackBits,
// big-endian, fill order 2, predictor, SHORT strip tables, descriptions).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sif.hpp"
#include "tiff_builder.hpp"

namespace tb = tiffbuilder;

namespace {

void Save(const std::string& path, const tb::Bytes& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    const std::string dir = argv[1];
    int n = 0;
    auto name = [&] { return dir + "/seed" + std::to_string(n++) + ".tif"; };

    // Our writer: LZW, several strips for the wider ones.
    for (int bits = 1; bits <= 16; ++bits) {
        const int width = 5 + bits;
        const int height = bits % 4 == 0 ? 700 : 3;
        std::vector<std::vector<std::uint16_t>> rows(height, std::vector<std::uint16_t>(width));
        std::vector<const std::uint16_t*> pointers;
        for (int j = 0; j < height; ++j) {
            for (int k = 0; k < width; ++k)
                rows[j][k] = static_cast<std::uint16_t>(((j * 7 + k * k) & 0xFFFF) >> (16 - bits));
            pointers.push_back(rows[j].data());
        }
        StoreImageFile(name().c_str(), width, height, bits, pointers.data(),
                       bits % 3 == 0 ? "0.000000\t1.000000" : (bits % 3 == 1 ? "ab" : nullptr));
    }

    // Crafted layouts.
    for (bool big : {false, true}) {
        for (std::uint32_t compression : {tb::kNone, tb::kPackBits}) {
            tb::TiffBuilder b(big);
            b.Image(4, 3, 8, compression);
            b.Short(tb::kRowsPerStrip, 2);
            b.Short(tb::kFillOrder, big ? 2 : 1);
            b.Short(tb::kPredictor, 2);
            b.Ascii(tb::kDescription, "a description");
            std::vector<std::uint32_t> offsets;
            std::vector<std::uint32_t> counts;
            const std::vector<tb::Bytes> strips =
                compression == tb::kNone
                    ? std::vector<tb::Bytes>{{1, 2, 3, 4, 5, 6, 7, 8}, {9, 10, 11, 12}}
                    : std::vector<tb::Bytes>{{253, 7, 1, 1, 2}, {128, 255, 3, 1, 4, 5}};
            for (const auto& s : strips) {
                offsets.push_back(b.Data(s));
                counts.push_back(static_cast<std::uint32_t>(s.size()));
            }
            b.Shorts(tb::kOffsets, offsets);
            b.Shorts(tb::kCounts, counts);
            Save(name(), b.Build());
        }
        tb::TiffBuilder b(big);
        b.Image(3, 2, 12, tb::kLZW);
        b.Strips({tb::PackCodes({{256, 9}, {0xAB, 9}, {0xCD, 9}, {258, 9}, {257, 9}})});
        Save(name(), b.Build());
        tb::TiffBuilder c(big);
        c.Image(2, 2, 16);
        c.Strips({{1, 2, 3, 4, 5, 6, 7, 8}});
        Save(name(), c.Build());
    }

    // SampleFormat: unsigned integers read, signed ones are refused.
    for (std::uint32_t format : {1u, 2u}) {
        tb::TiffBuilder b;
        b.Image(3, 2, 16);
        b.Short(tb::kSampleFormat, format);
        b.Strips({{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}});
        Save(name(), b.Build());
    }
    return 0;
}
