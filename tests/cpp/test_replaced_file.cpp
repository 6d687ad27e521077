#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "io/replaced_file.hpp"
#include "io/text_file.hpp"
#include "io/zip_archive.hpp"

namespace fs = std::filesystem;
using velk::io::replaceFile;
using velk::io::Replacement;

namespace {

class ReplacedFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("velk-replaced-" + std::to_string(std::random_device{}()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    Replacement write(const std::string& name, const std::string& text) {
        return replaceFile(folder_ / name, text.data(), text.size());
    }
    std::string contents(const std::string& name) const {
        std::ifstream in(folder_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()));
    }

    fs::path folder_;
};

// Writes beyond `limit` bytes fail with EFBIG, as a full disk fails them with ENOSPC, for as long as the
// object lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) : previousHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int);
};

}  // namespace

TEST_F(ReplacedFile, WritesANewFileAndReplacesAnOldOneLeavingNoTemporary) {
    ASSERT_EQ(write("record.json", "first"), Replacement::Done);
    ASSERT_EQ(write("record.json", "second, longer"), Replacement::Done);
    EXPECT_EQ(contents("record.json"), "second, longer");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(ReplacedFile, AReplacedFileKeepsItsPermissions) {
    ASSERT_EQ(write("record.json", "first"), Replacement::Done);
    fs::permissions(folder_ / "record.json", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(write("record.json", "second"), Replacement::Done);
    EXPECT_EQ(fs::status(folder_ / "record.json").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(ReplacedFile, AWriteThatFailsPartWayKeepsThePreviousFileWhole) {
    ASSERT_EQ(write("record.json", "the previous record"), Replacement::Done);
    ASSERT_EQ(write("poses.npz", "the previous archive"), Replacement::Done);
    const std::string large(64 * 1024, 'x');
    {
        FileSizeLimit limit(4096);
        EXPECT_EQ(write("record.json", large), Replacement::NotWritten);
        EXPECT_THROW(velk::io::replaceTextFile(folder_ / "record.json", large), std::runtime_error);
        EXPECT_THROW(velk::io::write_single_entry_zip(folder_ / "poses.npz", "poses.npy",
                                                      velk::io::Bytes(large.begin(), large.end())),
                     std::runtime_error);
    }
    EXPECT_EQ(contents("record.json"), "the previous record");
    EXPECT_EQ(contents("poses.npz"), "the previous archive");
    EXPECT_EQ(entries(), 2u);
}

TEST_F(ReplacedFile, ALinkStaysALinkToTheReplacedFile) {
    ASSERT_EQ(write("record.json", "first"), Replacement::Done);
    fs::create_symlink(folder_ / "record.json", folder_ / "latest.json");
    ASSERT_EQ(write("latest.json", "second"), Replacement::Done);
    EXPECT_TRUE(fs::is_symlink(folder_ / "latest.json"));
    EXPECT_EQ(contents("record.json"), "second");
}

TEST_F(ReplacedFile, ADeviceIsWrittenIntoAndNotReplaced) {
    if (!fs::is_character_file("/dev/null")) {
        GTEST_SKIP() << "no /dev/null on this system";
    }
    EXPECT_EQ(replaceFile("/dev/null", "text", 4), Replacement::Done);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(ReplacedFile, AMissingFolderIsReportedAsNotOpened) {
    EXPECT_EQ(write("missing/record.json", "text"), Replacement::NotOpened);
    EXPECT_EQ(entries(), 0u);
}
