#include <iostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "core/log.hpp"

namespace {

// Captures what one call writes to std::cerr and std::cout.
struct CapturedStreams {
    std::string err;
    std::string out;
};

template <typename Fn>
CapturedStreams capture(Fn&& fn) {
    std::ostringstream err, out;
    auto* oldErr = std::cerr.rdbuf(err.rdbuf());
    auto* oldOut = std::cout.rdbuf(out.rdbuf());
    fn();
    std::cerr.rdbuf(oldErr);
    std::cout.rdbuf(oldOut);
    return {err.str(), out.str()};
}

struct LevelCase {
    int value;
    const char* line;
};

class LogLevelWords : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LogLevelWords, WritesPrefixedLineToStandardErrorOnly) {
    const LevelCase& c = GetParam();
    const auto streams = capture([&] { velk::logMessage(static_cast<velk::LogLevel>(c.value), "x"); });
    EXPECT_EQ(streams.err, c.line);
    EXPECT_TRUE(streams.out.empty());
}

INSTANTIATE_TEST_SUITE_P(AllLevels, LogLevelWords,
                         ::testing::Values(LevelCase{0, "[velk][DEBUG] x\n"}, LevelCase{1, "[velk][INFO] x\n"},
                                           LevelCase{2, "[velk][WARNING] x\n"}, LevelCase{3, "[velk][ERROR] x\n"},
                                           LevelCase{4, "[velk][SUCCESS] x\n"}, LevelCase{7, "[velk][INFO] x\n"},
                                           LevelCase{-1, "[velk][INFO] x\n"}),
                         [](const ::testing::TestParamInfo<LevelCase>& info) {
                             return "level" + std::to_string(info.index);
                         });

TEST(LogMessage, KeepsMessageBytesUnchanged) {
    const auto empty = capture([] { velk::logMessage(velk::LogLevel::Error, ""); });
    EXPECT_EQ(empty.err, "[velk][ERROR] \n");
    const auto twoLines = capture([] { velk::logMessage(velk::LogLevel::Info, "  a\nb  "); });
    EXPECT_EQ(twoLines.err, "[velk][INFO]   a\nb  \n");
}

}  // namespace
