// Runtime choice among the builds of a hot loop.  A computing module
// builds its loop once per code path it has (portable, and with the
// instruction sets of newer processors through target attributes), uses
// the fastest one the processor runs, and lets tests and benchmarks select
// another one.  The portable build runs everywhere, so it can be tested on
// any machine.
#pragma once

#include <initializer_list>

// Code paths: kAvx2 code is built for AVX2 with FMA, kAvx512 for AVX-512F.
enum class CodePath { kPortable, kAvx2, kAvx512 };

// Whether this processor runs code built for `path`.
inline bool ProcessorRuns(CodePath path)
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

// The builds of one function, one per code path; null where the module has
// none.  The portable build is always there.
template <typename Function>
struct CodeBuilds {
    Function portable = nullptr;
    Function avx2 = nullptr;
    Function avx512 = nullptr;
};

// The build for `path`, or null.
template <typename Function>
Function BuildOf(const CodeBuilds<Function>& builds, CodePath path)
{
    switch (path) {
        case CodePath::kPortable:
            return builds.portable;
        case CodePath::kAvx2:
            return builds.avx2;
        case CodePath::kAvx512:
            return builds.avx512;
    }
    return nullptr;
}

// Whether the module has a build for `path` and this processor runs it.
template <typename Function>
bool BuildRuns(const CodeBuilds<Function>& builds, CodePath path)
{
    return BuildOf(builds, path) != nullptr && ProcessorRuns(path);
}

// The fastest build this processor runs.
template <typename Function>
Function FastestBuild(const CodeBuilds<Function>& builds)
{
    for (const CodePath path : {CodePath::kAvx512, CodePath::kAvx2}) {
        if (BuildRuns(builds, path)) return BuildOf(builds, path);
    }
    return builds.portable;
}

// Sets *chosen to the build for `path` and returns true, or returns false,
// changing nothing, when that build is missing or does not run here.
template <typename Function>
bool SelectBuild(const CodeBuilds<Function>& builds, CodePath path, Function* chosen)
{
    if (!BuildRuns(builds, path)) return false;
    *chosen = BuildOf(builds, path);
    return true;
}
