// Where the writer's file goes, and the one stream it is written through.
// Internal to the image-file library.
//
// An existing regular file, or the one a symbolic link leads to, is
// replaced only by a complete new file: the image is written into a new
// file created beside it, which is renamed over it after the last byte is
// written and the file closed without an error.  Any failure removes the
// new file and leaves the old one as it was.  Devices, FIFOs and a file
// whose directory takes no new file are written in place.
#pragma once

#include <cstddef>

namespace sif {

// Opens the output for `path`: a temporary file beside the target where the
// target can be replaced, the path itself otherwise.  The stream is this
// module's, written through WriteOutput and PatchOutput and closed by
// CloseOutput or DiscardOutput.  False when the file cannot be stored; the
// caller then ends in NotStored.
bool OpenOutput(const char* path);

// Appends n bytes to the output; false when the write fails.
bool WriteOutput(const unsigned char* bytes, std::size_t n);

// Writes n bytes over the output at `offset`; false when that fails.
bool PatchOutput(long offset, const unsigned char* bytes, std::size_t n);

// Closes the output and, for a temporary file, puts it in the target's
// place.  False when that fails; the caller then ends in NotStored.
bool CloseOutput();

// Closes and removes whatever OpenOutput has opened or created and not yet
// put in place; nothing when there is none.
void DiscardOutput();

// The writer's failure: discards the output, prints "<path> : file not
// stored." with the path given to OpenOutput and exits with status 1.
[[noreturn]] void NotStored();

}  // namespace sif
