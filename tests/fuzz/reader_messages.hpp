// The messages the reader prints after "<path> : ": the fatal ones, and the
// warnings that it follows with " (warning).".
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace readermessages {

inline const std::vector<std::string>& Fatal()
{
    static const std::vector<std::string> kFatal = {
        "file not found.",
        "bad magic number.",
        "no image file directory.",
        "missing image size.",
        "too large image size.",
        "bad bits per sample.",
        "unknown image compression method.",
        "bad photometric interpretation.",
        "unknown fill order.",
        "bad samples per pixel.",
        "bad sample format.",
        "bad rows per strip.",
        "bad planar configuration.",
        "unknown differencing predictor.",
        "missing strip offset.",
        "missing strip bytes count.",
        "bad number of strip offset.",
        "bad number of strip bytes count.",
        "no allocatable memory for strip offset.",
        "no allocatable memory for strip bytes count.",
        "no allocatable memory for cell.",
        "no allocatable memory for image description.",
        "missing image description.",
        "unexpected end of file.",
        "too few codes.",
        "MPB too few codes.",
        "LZW too few codes.",
        "LZW unexpected end of code.",
        "LZW bad code after clear code.",
        "LZW missing clear code.",
        "LZW bad code.",
    };
    return kFatal;
}

inline const std::vector<std::string>& Warnings()
{
    static const std::vector<std::string> kWarnings = {
        "too many codes",    "MPB too many data",       "MPB too many code",
        "LZW too many data", "LZW missing end of code", "LZW too many code",
    };
    return kWarnings;
}

inline bool IsFatal(const std::string& message)
{
    return std::find(Fatal().begin(), Fatal().end(), message) != Fatal().end();
}

// `message` is "<warning> (warning)." for one of the warnings.
inline bool IsWarning(const std::string& message)
{
    const std::string mark = " (warning).";
    if (message.size() <= mark.size() ||
        message.compare(message.size() - mark.size(), mark.size(), mark) != 0)
        return false;
    const std::string text = message.substr(0, message.size() - mark.size());
    return std::find(Warnings().begin(), Warnings().end(), text) != Warnings().end();
}

}  // namespace readermessages
