#include <string>

#include <gtest/gtest.h>

#include "bindings/python_version.hpp"

namespace {

struct VersionCase {
    const char* interpreter;
    bool accepted;
};

class InterpreterVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(InterpreterVersion, MatchesOnlyTheBuiltForRelease) {
    EXPECT_EQ(velk::bindings::interpreterVersionMatches("3.11", GetParam().interpreter), GetParam().accepted)
        << GetParam().interpreter;
}

INSTANTIATE_TEST_SUITE_P(
    VersionStrings, InterpreterVersion,
    ::testing::Values(VersionCase{"3.11.7 (main, Oct 27 2026, 10:00:00) [GCC 12.2.0]", true}, VersionCase{"3.11", true},
                      VersionCase{"3.11.0rc1", true}, VersionCase{"3.11+", true}, VersionCase{"3.110.1", false},
                      VersionCase{"3.1", false}, VersionCase{"3.1.4", false}, VersionCase{"3.12.1", false},
                      VersionCase{"3.10.13", false}, VersionCase{"", false}, VersionCase{"2.11.0", false},
                      VersionCase{" 3.11.7", false}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return "case" + std::to_string(info.index); });

}  // namespace
