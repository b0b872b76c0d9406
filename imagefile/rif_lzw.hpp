// The reader's LZW strip decoder (rif_lzw.cpp).  Internal to the image-file
// library.
#pragma once

#include "rif_decode.hpp"

namespace rif {

extern const Decoder kLZWDecoder;

}  // namespace rif
