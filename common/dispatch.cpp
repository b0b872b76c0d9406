#include "dispatch.hpp"

namespace {

// The widest path this processor runs.
CodePath WidestPath()
{
    CodePath widest = CodePath::kPortable;
    for (const CodePath path : kCodePaths)
        if (ProcessorRuns(path)) widest = path;
    return widest;
}

// The active path, chosen at the first use (also when that use comes from
// another module's static initialisation).
CodePath& Active()
{
    static CodePath path = WidestPath();
    return path;
}

}  // namespace

const char* CodePathName(CodePath path)
{
    switch (path) {
        case CodePath::kPortable:
            return "portable";
        case CodePath::kAvx2:
            return "AVX2";
        case CodePath::kAvx512:
            return "AVX512";
    }
    return "unknown";
}

bool ProcessorRuns(CodePath path)
{
    switch (path) {
        case CodePath::kPortable:
            return true;
#if defined(__x86_64__) || defined(__i386__)
        case CodePath::kAvx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case CodePath::kAvx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f");
#endif
        default:
            break;
    }
    return false;
}

CodePath ActiveCodePath()
{
    return Active();
}

bool SelectCodePath(CodePath path)
{
    if (!ProcessorRuns(path)) return false;
    Active() = path;
    return true;
}
