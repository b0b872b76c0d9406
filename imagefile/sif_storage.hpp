// Where the writer's file goes.  Internal to the image-file library.
//
// An existing regular file, or the one a symbolic link leads to, is
// replaced only by a complete new file: the image is written into a new
// file created beside it, which is renamed over it after the last byte is
// written and the file closed without an error.  Any failure removes the
// new file and leaves the old one as it was.  Devices, FIFOs and a file
// whose directory takes no new file are written in place.
#pragma once

#include <cstdio>

namespace tiff {

// Opens the output for `path` and returns the stream to write the file
// into: a temporary file beside the target where the target can be
// replaced, the path itself otherwise.  The stream stays this module's:
// CloseOutput or DiscardOutput closes it.  Null when the file cannot be
// stored; the caller then discards the output.
std::FILE* OpenOutput(const char* path);

// Closes the output and, for a temporary file, puts it in the target's
// place.  False when that fails; the caller then discards the output.
bool CloseOutput();

// Closes and removes whatever OpenOutput has opened or created and not yet
// put in place; nothing when there is none.
void DiscardOutput();

}  // namespace tiff
