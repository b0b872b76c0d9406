// Runtime choice among the builds of a hot loop, one choice for the whole
// process.  A computing module builds its loop once per code path it has
// (portable, and for the instruction sets of newer x86 processors through
// the target attributes below), lists the builds in a CodeBuilds, and calls
// the active one.  The process takes the fastest path its processor runs,
// once; tests and benchmarks select another with SelectCodePath.  The
// portable build runs everywhere, so it can be tested on any machine.
//
// The x86 builds are guarded here and nowhere else: elsewhere the target
// attributes mark the x86 builds unused (the compiler drops them) and
// BLUR_X86_BUILD gives null in their place, so a module builds its portable code
// alone.
#pragma once

#include <initializer_list>

// kAvx2 code is built for AVX2 (with FMA where the module says so), kAvx512
// for AVX-512F.
enum class CodePath { kPortable, kAvx2, kAvx512 };

// Every code path, narrowest first.
inline constexpr std::initializer_list<CodePath> kCodePaths = {CodePath::kPortable, CodePath::kAvx2,
                                                               CodePath::kAvx512};

// "portable", "AVX2", "AVX512": for test names, benchmarks and reports.
const char* CodePathName(CodePath path);

// Whether this processor runs code built for `path`.
bool ProcessorRuns(CodePath path);

// The path the process uses: the widest one the processor runs, chosen at
// the first call, unless SelectCodePath chose another since.
CodePath ActiveCodePath();

// Makes `path` the active path for every module (tests and benchmarks).
// Returns false, changing nothing, when the processor does not run it.
bool SelectCodePath(CodePath path);

#if defined(__x86_64__) || defined(__i386__)
// AVX2 without FMA: the results are those of the portable build bit for bit.
#define BLUR_BUILD_AVX2 __attribute__((target("avx2")))
// AVX2 with FMA: `a * b + c` is contracted into one fused multiply-add here
// (and only here: the project builds with -ffp-contract=off), so a module
// that uses it must test its results against the portable build's.
#define BLUR_BUILD_AVX2_FMA __attribute__((target("avx2,fma"), optimize("fp-contract=fast")))
// AVX-512F, which has fused multiply-adds too: contracted like the above.
#define BLUR_BUILD_AVX512 __attribute__((target("avx512f"), optimize("fp-contract=fast")))
#define BLUR_X86_BUILD(build) (build)
#else
#define BLUR_BUILD_AVX2 [[maybe_unused]]
#define BLUR_BUILD_AVX2_FMA [[maybe_unused]]
#define BLUR_BUILD_AVX512 [[maybe_unused]]
#define BLUR_X86_BUILD(build) nullptr
#endif

// The builds of one function, one per code path; null where the module has
// none.  The portable build is always there.
template <typename Function>
struct CodeBuilds {
    Function portable = nullptr;
    Function avx2 = nullptr;
    Function avx512 = nullptr;

    // The build for `path`, or for the widest narrower path the module has
    // a build for (a module without an AVX-512 build runs its AVX2 one).
    Function For(CodePath path) const
    {
        if (path == CodePath::kAvx512 && avx512 != nullptr) return avx512;
        if (path != CodePath::kPortable && avx2 != nullptr) return avx2;
        return portable;
    }

    // The build for the active path.
    Function Active() const { return For(ActiveCodePath()); }
};
