#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.hpp"
#include "core/parallel_indices.hpp"
#include "core/picture_names.hpp"

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

// Collects the entries a sink receives for the duration of a test, then restores the default sink.
class CollectingSink : public ::testing::Test {
protected:
    void SetUp() override {
        velk::setLogSink([this](const velk::LogEntry& entry) { entries.push_back(entry); });
    }
    void TearDown() override { velk::setLogSink({}); }
    std::vector<velk::LogEntry> entries;
};

TEST_F(CollectingSink, ReceivesLevelComponentAndMessageInsteadOfStandardError) {
    const auto streams = capture([] {
        velk::logMessage(velk::LogLevel::Warning, "[IntrinsicCalibrator] Chessboard not found in image 3");
        velk::logMessage(velk::LogLevel::Info, "Collected images 5");
        velk::logMessage(velk::LogLevel::Info, "[not a component] x");
    });
    EXPECT_TRUE(streams.err.empty());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].level, velk::LogLevel::Warning);
    EXPECT_EQ(entries[0].component, "IntrinsicCalibrator");
    EXPECT_EQ(entries[0].message, "[IntrinsicCalibrator] Chessboard not found in image 3");
    EXPECT_EQ(velk::defaultLogLine(entries[0]),
              "[velk][WARNING] [IntrinsicCalibrator] Chessboard not found in image 3");
    EXPECT_EQ(entries[1].component, "");
    EXPECT_EQ(entries[2].component, "");
}

TEST_F(CollectingSink, LinesOfParallelWorkArriveInIndexOrderWhateverTheThreads) {
    velk::forEachIndexInParallel(40, [](std::size_t k) {
        velk::logMessage(velk::LogLevel::Info, "[Work] first of " + std::to_string(k));
        velk::logMessage(velk::LogLevel::Info, "[Work] second of " + std::to_string(k));
    });
    ASSERT_EQ(entries.size(), 80u);
    for (std::size_t k = 0; k < 40; ++k) {
        EXPECT_EQ(entries[2 * k].message, "[Work] first of " + std::to_string(k));
        EXPECT_EQ(entries[2 * k + 1].message, "[Work] second of " + std::to_string(k));
    }
}

TEST(LogSink, EmptySinkRestoresTheDefaultLine) {
    velk::setLogSink([](const velk::LogEntry&) {});
    EXPECT_TRUE(capture([] { velk::logMessage(velk::LogLevel::Info, "y"); }).err.empty());
    velk::setLogSink({});
    EXPECT_EQ(capture([] { velk::logMessage(velk::LogLevel::Info, "y"); }).err, "[velk][INFO] y\n");
}

struct LabelCase {
    std::vector<std::string> names;
    int position;
    const char* label;
};

class PictureLabels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(PictureLabels, NameByCaptureNumberAndFileName) {
    EXPECT_EQ(velk::pictureLabel(GetParam().names, GetParam().position), GetParam().label);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PictureLabels,
    ::testing::Values(LabelCase{{}, 3, "3"}, LabelCase{{"image_0.png", "image_4.png"}, 1, "4 (image_4.png)"},
                      LabelCase{{"left01.jpg", "left02.jpg"}, 1, "1 (left02.jpg)"}, LabelCase{{"image_0.png"}, 5, "5"},
                      LabelCase{{"image_.png"}, 0, "0 (image_.png)"},
                      LabelCase{{"image_12.png.bak"}, 0, "0 (image_12.png.bak)"},
                      LabelCase{{"image_7"}, 0, "0 (image_7)"}, LabelCase{{"image_4.png"}, -1, "-1"}));

TEST(PictureLabels, UsedViewsAreNamedThroughTheirPositions) {
    const std::vector<std::string> names{"image_0.png", "image_1.png", "image_2.png", "image_4.png"};
    EXPECT_EQ(velk::usedPictureLabel(names, {0, 2, 3}, 2), "4 (image_4.png)");
    EXPECT_EQ(velk::usedPictureLabel(names, {0, 2, 3}, 3), "3");
    EXPECT_EQ(velk::pictureLabels(names, {3, 1}), (std::vector<std::string>{"4 (image_4.png)", "1 (image_1.png)"}));
    EXPECT_TRUE(velk::pictureLabels({}, {3, 1}).empty());
    EXPECT_EQ(velk::labelAt({"a"}, 0), "a");
    EXPECT_EQ(velk::labelAt({"a"}, 2), "2");
}

}  // namespace
