// Work blocks for the hot loops: aligned to a cache line, and large ones
// to a huge page with the kernel asked for huge pages.
#pragma once

#include <cstddef>

// A block of at least `bytes` bytes, or null.  Blocks of 2 MiB or more start
// on a 2 MiB boundary, are rounded up to whole 2 MiB pages and are advised
// as huge pages (only advice: without them everything works the same,
// slower); smaller ones start on a 64-byte line.  Freed with std::free.
void* AllocateAligned(std::size_t bytes);
