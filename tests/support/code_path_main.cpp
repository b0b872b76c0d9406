// The main of the test binaries whose code has a build per code path.  CTest
// runs each of them once per path, with --code-path=NAME (see blur_test in
// tests/CMakeLists.txt): every test of the run then uses that path, and all
// of them are skipped where the processor does not run it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "dispatch.hpp"

namespace {

// Selects the path before every test run; skips all tests where the
// processor does not run it.
class CodePathEnvironment : public testing::Environment {
public:
    explicit CodePathEnvironment(CodePath path) : path_(path) {}

    void SetUp() override
    {
        if (!SelectCodePath(path_))
            GTEST_SKIP() << "this processor does not run the " << CodePathName(path_) << " code";
    }

private:
    CodePath path_;
};

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    constexpr std::string_view kOption = "--code-path=";
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!arg.starts_with(kOption)) continue;
        const auto path = std::find_if(kCodePaths.begin(), kCodePaths.end(), [&](CodePath p) {
            return arg.substr(kOption.size()) == CodePathName(p);
        });
        if (path == kCodePaths.end()) {
            std::fprintf(stderr, "no code path is called %s\n", argv[i] + kOption.size());
            return 2;
        }
        testing::AddGlobalTestEnvironment(new CodePathEnvironment(*path));
    }
    return RUN_ALL_TESTS();
}
