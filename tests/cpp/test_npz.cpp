#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "io/npz.hpp"
#include "zip_fixture.hpp"

namespace fs = std::filesystem;
using velk::io::Bytes;
using velk::io::NpyArray;
using velk::io::readUint16;
using velk::io::readUint32;
using namespace velk::test;

namespace {

// Runs the call and returns the what() of the exception of type E it throws.
template <typename E>
std::string messageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    } catch (const std::exception& other) {
        return std::string("unexpected exception type: ") + other.what();
    }
    return "no exception";
}

std::string runtimeMessage(const std::function<void()>& call) {
    return messageOf<std::runtime_error>(call);
}

class TemporaryFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device entropy;
        folder_ = fs::temp_directory_path() / ("velk_npz_test_" + std::to_string(entropy()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

std::string textAt(const Bytes& bytes, std::size_t offset, std::size_t length) {
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

NpyArray readEntry(const Bytes& archive, const std::string& name) {
    return velk::io::parse_npy_blob(velk::io::extract_zip_entry(archive, velk::io::find_zip_entry(archive, name)));
}

// ---- Writer ---------------------------------------------------------------------

using NpzWriter = TemporaryFolder;

TEST_F(NpzWriter, ThreePosesGiveTheDocumentedLayout) {
    const std::vector<double> values = iota(48);
    const fs::path path = folder_ / "calibration_data.npz";
    velk::io::write_npz_array(path, "robot_T_tcp_list", {3, 4, 4}, values);
    const Bytes file = readFile(path);
    const std::string name = "robot_T_tcp_list.npy";
    const std::size_t n = name.size();
    const std::size_t blobSize = 128 + 8 * 48;
    ASSERT_EQ(file.size(), 650u);

    const Bytes blob(file.begin() + 30 + static_cast<std::ptrdiff_t>(n),
                     file.begin() + 30 + static_cast<std::ptrdiff_t>(n + blobSize));
    const auto crc = static_cast<std::uint32_t>(crc32(0L, blob.data(), static_cast<uInt>(blob.size())));

    // Local header.
    EXPECT_EQ(readUint32(file, 0), 0x04034B50u);
    EXPECT_EQ(readUint16(file, 4), 20);
    EXPECT_EQ(readUint16(file, 6), 0);
    EXPECT_EQ(readUint16(file, 8), 0);
    EXPECT_EQ(readUint16(file, 10), 0);
    EXPECT_EQ(readUint16(file, 12), 0x0021);
    EXPECT_EQ(readUint32(file, 14), crc);
    EXPECT_EQ(readUint32(file, 18), blobSize);
    EXPECT_EQ(readUint32(file, 22), blobSize);
    EXPECT_EQ(readUint16(file, 26), n);
    EXPECT_EQ(readUint16(file, 28), 0);
    EXPECT_EQ(textAt(file, 30, n), name);

    // Blob: magic, version 1.0, header length 118, padded header, data at 128.
    EXPECT_EQ(textAt(blob, 0, 6), "\x93NUMPY");
    EXPECT_EQ(blob[6], 1);
    EXPECT_EQ(blob[7], 0);
    EXPECT_EQ(readUint16(blob, 8), 118);
    const std::string dictionary = "{'descr': '<f8', 'fortran_order': False, 'shape': (3, 4, 4), }";
    EXPECT_EQ(textAt(blob, 10, 118), dictionary + std::string(118 - 1 - dictionary.size(), ' ') + "\n");
    for (std::size_t i = 0; i < values.size(); ++i) {
        double value = 0;
        std::memcpy(&value, blob.data() + 128 + 8 * i, 8);
        EXPECT_EQ(value, values[i]) << "element " << i;
    }

    // Central directory record.
    const std::size_t directory = 30 + n + blobSize;
    EXPECT_EQ(readUint32(file, directory), 0x02014B50u);
    EXPECT_EQ(readUint16(file, directory + 4), 20);
    EXPECT_EQ(readUint16(file, directory + 6), 20);
    EXPECT_EQ(readUint16(file, directory + 8), 0);
    EXPECT_EQ(readUint16(file, directory + 10), 0);
    EXPECT_EQ(readUint16(file, directory + 12), 0);
    EXPECT_EQ(readUint16(file, directory + 14), 0x0021);
    EXPECT_EQ(readUint32(file, directory + 16), crc);
    EXPECT_EQ(readUint32(file, directory + 20), blobSize);
    EXPECT_EQ(readUint32(file, directory + 24), blobSize);
    EXPECT_EQ(readUint16(file, directory + 28), n);
    for (std::size_t field = 30; field < 42; field += 2) {
        EXPECT_EQ(readUint16(file, directory + field), 0) << "directory field at +" << field;
    }
    EXPECT_EQ(readUint32(file, directory + 42), 0u);
    EXPECT_EQ(textAt(file, directory + 46, n), name);

    // End of central directory.
    const std::size_t end = directory + 46 + n;
    EXPECT_EQ(end + 22, file.size());
    EXPECT_EQ(readUint32(file, end), 0x06054B50u);
    EXPECT_EQ(readUint16(file, end + 4), 0);
    EXPECT_EQ(readUint16(file, end + 6), 0);
    EXPECT_EQ(readUint16(file, end + 8), 1);
    EXPECT_EQ(readUint16(file, end + 10), 1);
    EXPECT_EQ(readUint32(file, end + 12), 46 + n);
    EXPECT_EQ(readUint32(file, end + 16), directory);
    EXPECT_EQ(readUint16(file, end + 20), 0);
}

TEST_F(NpzWriter, SameInputGivesSameBytesAndReplacesTheFile) {
    const fs::path first = folder_ / "a.npz";
    const fs::path second = folder_ / "b.npz";
    velk::io::write_npz_array(first, "robot_T_tcp_list", {3, 4, 4}, iota(48));
    velk::io::write_npz_array(second, "other", {7}, iota(7));
    velk::io::write_npz_array(second, "robot_T_tcp_list", {3, 4, 4}, iota(48));
    EXPECT_EQ(readFile(first), readFile(second));
}

TEST_F(NpzWriter, RoundTripsShapesIncludingEmptyAndScalar) {
    const std::vector<std::vector<std::uint64_t>> shapes = {{0, 4, 4}, {}, {5}, {2, 3}, {12, 4, 4}};
    for (const auto& shape : shapes) {
        std::size_t count = 1;
        for (const auto dimension : shape) {
            count *= dimension;
        }
        const fs::path path = folder_ / "round.npz";
        velk::io::write_npz_array(path, "values", shape, iota(count, -3.0));
        const NpyArray back = velk::io::read_npz_array(path, "values");
        EXPECT_EQ(back.shape, shape);
        EXPECT_EQ(back.data, iota(count, -3.0));
    }
}

TEST_F(NpzWriter, ReportsAFileThatCannotBeOpened) {
    const fs::path path = folder_ / "missing" / "x.npz";
    EXPECT_EQ(runtimeMessage([&] { velk::io::write_npz_array(path, "k", {1}, {1.0}); }),
              "npz: cannot open " + path.string() + " for writing");
}

TEST_F(NpzWriter, ReportsAWriteThatFailsAfterOpening) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    EXPECT_EQ(runtimeMessage([] {
                  velk::io::write_npz_array("/dev/full", "k", {3, 4, 4}, iota(48));
              }),
              "npz: cannot write /dev/full");
}

TEST_F(NpzWriter, RefusesHeadersBeyondSixteenBitsWithoutWriting) {
    const std::vector<std::uint64_t> shape(22000, 1);  // "1, " per dimension: over 65,535 header bytes
    const fs::path path = folder_ / "wide.npz";
    const std::string message = runtimeMessage([&] { velk::io::write_npz_array(path, "k", shape, {1.0}); });
    EXPECT_EQ(message.rfind("npz: ", 0), 0u) << message;
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(NpzWriter, RefusesEntryNamesBeyondSixteenBitsWithoutWriting) {
    const fs::path path = folder_ / "long.npz";
    const std::string message = runtimeMessage(
        [&] { velk::io::write_single_entry_zip(path, std::string(65536, 'n'), velk::io::build_npy_blob({1}, {1.0})); });
    EXPECT_EQ(message.rfind("npz: ", 0), 0u) << message;
    EXPECT_FALSE(fs::exists(path));
    EXPECT_NO_THROW(velk::io::write_single_entry_zip(path, std::string(65535, 'n'), {}));
}

// ---- Header padding ---------------------------------------------------------------

struct PaddingCase {
    std::vector<std::uint64_t> shape;
    std::string dictionary;
    std::size_t header_length;
};

class NpyHeaderPadding : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(NpyHeaderPadding, PadsTheHeaderToSixtyFourBytes) {
    const PaddingCase& c = GetParam();
    const Bytes blob = velk::io::build_npy_blob(c.shape, {});
    ASSERT_EQ(readUint16(blob, 8), c.header_length);
    EXPECT_EQ((10 + c.header_length) % 64, 0u);
    const std::string header = textAt(blob, 10, c.header_length);
    EXPECT_EQ(header.substr(0, c.dictionary.size()), c.dictionary);
    EXPECT_EQ(header.find_first_not_of(' ', c.dictionary.size()), c.header_length - 1);
    EXPECT_EQ(header.back(), '\n');
}

const std::vector<std::uint64_t> kOnes19(19, 1);
std::vector<std::uint64_t> leading(std::uint64_t first) {
    std::vector<std::uint64_t> shape = {first};
    shape.insert(shape.end(), kOnes19.begin(), kOnes19.end());
    return shape;
}
std::string leadingText(const std::string& first) {
    std::string text = "{'descr': '<f8', 'fortran_order': False, 'shape': (" + first;
    for (int i = 0; i < 19; ++i) {
        text += ", 1";
    }
    return text + "), }";
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, NpyHeaderPadding,
    ::testing::Values(PaddingCase{{3, 4, 4}, "{'descr': '<f8', 'fortran_order': False, 'shape': (3, 4, 4), }", 118},
                      PaddingCase{{12, 4, 4}, "{'descr': '<f8', 'fortran_order': False, 'shape': (12, 4, 4), }", 118},
                      PaddingCase{{5}, "{'descr': '<f8', 'fortran_order': False, 'shape': (5, ), }", 118},
                      PaddingCase{{}, "{'descr': '<f8', 'fortran_order': False, 'shape': (), }", 118},
                      // Dictionary of 116, 117 and 118 bytes: one space, none (not 64), then 63.
                      PaddingCase{leading(1000), leadingText("1000"), 118},
                      PaddingCase{leading(10000), leadingText("10000"), 118},
                      PaddingCase{leading(100000), leadingText("100000"), 182}),
    [](const ::testing::TestParamInfo<PaddingCase>& info) { return "case" + std::to_string(info.index); });

// ---- ZIP reading ---------------------------------------------------------------

const std::string kPoseEntry = "robot_T_tcp_list.npy";

Bytes poseBlob(std::size_t poses, std::uint8_t major = 1) {
    return npyBlob(f8Header("(" + std::to_string(poses) + ", 4, 4)"), iota(16 * poses), major);
}

TEST(ZipReader, FindsEveryEntryOfAnArchiveWithSeveralStoredAndDeflatedOnes) {
    TestArchive archive;
    archive.entries.push_back({"first.npy", npyBlob(f8Header("(3,)"), iota(3, 7.0))});
    archive.entries.push_back({kPoseEntry, poseBlob(4), true});
    archive.entries.push_back({"robot_T_tcp_list.npy.bak", poseBlob(1)});
    archive.entries.push_back({"last.npy", npyBlob(f8Header("(2, 2)"), iota(4, -1.0)), true});
    const Bytes file = buildArchive(archive);

    const NpyArray poses = readEntry(file, kPoseEntry);
    EXPECT_EQ(poses.shape, (std::vector<std::uint64_t>{4, 4, 4}));
    EXPECT_EQ(poses.data, iota(64));
    EXPECT_EQ(readEntry(file, "first.npy").data, iota(3, 7.0));
    EXPECT_EQ(readEntry(file, "last.npy").data, iota(4, -1.0));
    EXPECT_EQ(readEntry(file, "robot_T_tcp_list.npy.bak").shape, (std::vector<std::uint64_t>{1, 4, 4}));
}

TEST(ZipReader, UsesTheCentralDirectorySizesOnly) {
    TestArchive archive;
    TestEntry unknownSizes{kPoseEntry, poseBlob(2), true};
    unknownSizes.local_sizes_unknown = true;
    TestEntry withDescriptor{"described.npy", poseBlob(3), true};
    withDescriptor.data_descriptor = true;
    TestEntry storedDescriptor{"stored.npy", poseBlob(1)};
    storedDescriptor.data_descriptor = true;
    archive.entries = {unknownSizes, withDescriptor, storedDescriptor};
    const Bytes file = buildArchive(archive);
    EXPECT_EQ(readEntry(file, kPoseEntry).data, iota(32));
    EXPECT_EQ(readEntry(file, "described.npy").data, iota(48));
    EXPECT_EQ(readEntry(file, "stored.npy").data, iota(16));
}

TEST(ZipReader, FindsTheEndRecordBehindTheLongestComment) {
    TestArchive archive;
    archive.entries.push_back({kPoseEntry, poseBlob(2)});
    archive.comment = std::string(65535, 'z');
    archive.comment.replace(100, 4, "PK\x05\x07");  // near-miss signature inside the comment
    EXPECT_EQ(readEntry(buildArchive(archive), kPoseEntry).data, iota(32));
}

TEST(ZipReader, UsesTheEndRecordNearestTheEnd) {
    // A second end record inside the comment, pointing at offset 0 (a local header),
    // is the one found, so the directory it names is refused.
    Bytes decoy = {0x50, 0x4B, 0x05, 0x06};
    decoy.resize(22, 0);
    decoy[10] = 1;
    TestArchive archive;
    archive.entries.push_back({kPoseEntry, poseBlob(2)});
    archive.comment = "padding" + std::string(decoy.begin(), decoy.end());
    EXPECT_EQ(runtimeMessage([&] { readEntry(buildArchive(archive), kPoseEntry); }),
              "npz: malformed ZIP central directory");
    archive.comment = "padding";
    EXPECT_EQ(readEntry(buildArchive(archive), kPoseEntry).data, iota(32));
}

TEST(ZipReader, FindsAnEndRecordAtTheFarEndOfTheSearchSpan) {
    TestArchive archive;
    archive.entries.push_back({kPoseEntry, poseBlob(2)});
    Bytes file = buildArchive(archive);
    file.resize(file.size() + 0x10800 - 22, 0);  // the record starts exactly 0x10800 bytes before the end
    EXPECT_EQ(readEntry(file, kPoseEntry).data, iota(32));
}

TEST(ZipReader, NamesTheFullEntryNameOfAMissingKey) {
    TestArchive archive;
    archive.entries.push_back({"robot_T_tcp_list", poseBlob(1)});
    archive.entries.push_back({"ROBOT_T_TCP_LIST.npy", poseBlob(1)});
    EXPECT_EQ(runtimeMessage([&] { readEntry(buildArchive(archive), kPoseEntry); }),
              "npz: entry 'robot_T_tcp_list.npy' not found in archive");
}

TEST(ZipReader, MatchesAnEmptyNameOnlyWithAnEmptyName) {
    TestArchive archive;
    archive.entries.push_back({"", poseBlob(1)});
    EXPECT_EQ(readEntry(buildArchive(archive), "").data, iota(16));
    EXPECT_EQ(runtimeMessage([&] { readEntry(buildArchive(archive), "x"); }), "npz: entry 'x' not found in archive");
}

TEST_F(TemporaryFolder, ReadingNamesTheFileThatCannotBeOpened) {
    const fs::path path = folder_ / "absent.npz";
    EXPECT_EQ(runtimeMessage([&] { velk::io::read_npz_array(path, "robot_T_tcp_list"); }),
              "npz: cannot open " + path.string() + " for reading");
}

// Malformed archives, each with the message it must give.
struct MalformedArchive {
    std::string label;
    std::function<Bytes()> build;
    std::string message;
};

class ZipReaderMalformed : public ::testing::TestWithParam<MalformedArchive> {};

TEST_P(ZipReaderMalformed, FailsWithItsMessage) {
    const Bytes file = GetParam().build();
    EXPECT_EQ(runtimeMessage([&] { readEntry(file, kPoseEntry); }), GetParam().message);
}

Bytes withPoseEntry(const std::function<void(TestArchive&, TestEntry&)>& change) {
    TestArchive archive;
    TestEntry entry{kPoseEntry, poseBlob(2)};
    change(archive, entry);
    archive.entries.push_back(entry);
    return buildArchive(archive);
}

std::function<Bytes()> changingArchive(const std::function<void(TestArchive&)>& change) {
    return [change] { return withPoseEntry([&](TestArchive& archive, TestEntry&) { change(archive); }); };
}

std::function<Bytes()> changingEntry(const std::function<void(TestEntry&)>& change) {
    return [change] { return withPoseEntry([&](TestArchive&, TestEntry& entry) { change(entry); }); };
}

Bytes validArchive() {
    return withPoseEntry([](TestArchive&, TestEntry&) {});
}

const std::string kNoEndRecord = "npz: not a valid ZIP archive (no EOCD record)";
const std::string kBadDirectory = "npz: malformed ZIP central directory";
const std::string kBadLocalHeader = "npz: malformed ZIP local file header";
const std::string kPastEnd = "npz: ZIP entry data runs past end of file";
const std::string kInflateFailed = "npz: zlib inflate failed on entry";

INSTANTIATE_TEST_SUITE_P(
    Archives, ZipReaderMalformed,
    ::testing::Values(
        MalformedArchive{"Empty", [] { return Bytes{}; }, kNoEndRecord},
        MalformedArchive{
            "TwentyOneBytes",
            [] { return Bytes{0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; },
            kNoEndRecord},
        MalformedArchive{"EndRecordOnlyInTheLastTwentyOneBytes",
                         [] {
                             Bytes file = validArchive();
                             file.resize(file.size() - 1);  // the record now starts 21 bytes before the end
                             return file;
                         },
                         kNoEndRecord},
        MalformedArchive{"EndRecordBeyondTheSearchSpan",
                         [] {
                             Bytes file = validArchive();
                             file.resize(file.size() + 0x10800 - 21, 0);  // trailing bytes after the record
                             return file;
                         },
                         kNoEndRecord},
        MalformedArchive{"DirectoryOffsetPastTheEnd",
                         changingArchive([](TestArchive& a) { a.directory_offset_override = 0xFFFFFFF0; }),
                         kBadDirectory},
        MalformedArchive{"DirectoryOffsetAtALocalHeader",
                         changingArchive([](TestArchive& a) { a.directory_offset_override = 0; }), kBadDirectory},
        MalformedArchive{"MoreEntriesCountedThanPresent",
                         [] {
                             return withPoseEntry([](TestArchive& a, TestEntry& e) {
                                 a.entry_count_override = 2;
                                 e.name = "other.npy";
                             });
                         },
                         kBadDirectory},
        MalformedArchive{"DirectoryNameLengthPastTheEnd",
                         changingEntry([](TestEntry& e) { e.name_length_override = 0xFFFF; }), kBadDirectory},
        MalformedArchive{"LocalHeaderOffsetPastTheEnd",
                         changingArchive([](TestArchive& a) { a.local_offset_override = 0xFFFFFFFF; }),
                         kBadLocalHeader},
        MalformedArchive{"LocalHeaderOffsetAtTheBlob",
                         changingArchive([](TestArchive& a) { a.local_offset_override = 50; }), kBadLocalHeader},
        MalformedArchive{"CompressedSizePastTheEnd",
                         changingEntry([](TestEntry& e) { e.compressed_size_override = 0xFFFFFFFF; }), kPastEnd},
        MalformedArchive{"MethodTwelve", changingEntry([](TestEntry& e) { e.method_override = 12; }),
                         "npz: unsupported ZIP compression method 12"},
        MalformedArchive{"StoredDataDeclaredDeflated", changingEntry([](TestEntry& e) { e.method_override = 8; }),
                         kInflateFailed},
        MalformedArchive{"StoredPoseWithAFlippedBit",
                         [] {
                             Bytes file = validArchive();
                             // The last byte of the blob, a pose value: it still parses, only its checksum tells.
                             file[30 + kPoseEntry.size() + poseBlob(2).size() - 1] ^= 0x10;
                             return file;
                         },
                         "npz: entry 'robot_T_tcp_list.npy' fails its CRC-32 check: the archive is corrupt (write it "
                         "again)"},
        MalformedArchive{"DeflatedSizeDeclaredTooSmall",
                         [] {
                             return withPoseEntry([](TestArchive&, TestEntry& e) {
                                 e.deflated = true;
                                 e.uncompressed_size_override = 100;
                             });
                         },
                         kInflateFailed},
        MalformedArchive{"DeflatedSizeDeclaredTooLarge",
                         [] {
                             return withPoseEntry([](TestArchive&, TestEntry& e) {
                                 e.deflated = true;
                                 e.uncompressed_size_override = 128 + 8 * 32 + 8;
                             });
                         },
                         kInflateFailed},
        MalformedArchive{"DeflatedSizeBeyondAnyDeflateRatio",
                         [] {
                             return withPoseEntry([](TestArchive&, TestEntry& e) {
                                 e.deflated = true;
                                 e.uncompressed_size_override = 0xFFFFFFFF;
                             });
                         },
                         kInflateFailed},
        MalformedArchive{"DeflatedStreamCutShort",
                         [] {
                             return withPoseEntry([](TestArchive&, TestEntry& e) {
                                 e.deflated = true;
                                 e.compressed_size_override = 10;
                             });
                         },
                         kInflateFailed}),
    [](const ::testing::TestParamInfo<MalformedArchive>& info) { return info.param.label; });

TEST(ZipReader, InflatesAnEmptyDeflatedEntry) {
    TestArchive archive;
    archive.entries.push_back({"empty", {}, true});
    const Bytes file = buildArchive(archive);
    EXPECT_TRUE(velk::io::extract_zip_entry(file, velk::io::find_zip_entry(file, "empty")).empty());
}

// ---- .npy parsing ----------------------------------------------------------------

TEST(NpyParser, ReadsVersionTwoBlobsAndIgnoresTrailingBytes) {
    Bytes blob = npyBlob(f8Header("(2, 4, 4)"), iota(33), 2);
    const NpyArray array = velk::io::parse_npy_blob(blob);
    EXPECT_EQ(array.shape, (std::vector<std::uint64_t>{2, 4, 4}));
    EXPECT_EQ(array.data, iota(32));
    blob = npyBlob(f8Header("(2, 4, 4)"), iota(32), 3);
    blob.push_back(0xAB);
    EXPECT_EQ(velk::io::parse_npy_blob(blob).data, iota(32));
}

struct ShapeCase {
    std::string label;
    std::string header;
    std::vector<std::uint64_t> shape;
};

class NpyShapeText : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(NpyShapeText, ReadsTheShape) {
    std::size_t count = 1;
    for (const auto dimension : GetParam().shape) {
        count *= dimension;
    }
    const NpyArray array = velk::io::parse_npy_blob(npyBlob(GetParam().header, iota(count)));
    EXPECT_EQ(array.shape, GetParam().shape);
    EXPECT_EQ(array.data.size(), count);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, NpyShapeText,
    ::testing::Values(ShapeCase{"OneDimensionWithSpace", f8Header("(5, )"), {5}},
                      ShapeCase{"OneDimensionWithoutSpace", f8Header("(5,)"), {5}},
                      ShapeCase{"Scalar", f8Header("()"), {}},
                      ShapeCase{"TabsAndTrailingText", f8Header("(\t2L,\t3 )"), {2, 3}},
                      ShapeCase{"ZeroDimension", f8Header("(0, 4, 4)"), {0, 4, 4}},
                      ShapeCase{"ZeroBesidesHugeDimensions",
                                f8Header("(18446744073709551615, 0, 18446744073709551615)"),
                                {18446744073709551615u, 0, 18446744073709551615u}},
                      ShapeCase{"KeysInAnotherOrder", "{'shape': (2,), 'fortran_order': False, 'descr': '<f8'}", {2}},
                      ShapeCase{"FortranFalseBeforeTrueElsewhere",
                                "{'descr': '<f8', 'fortran_order': False, 'shape': (1,), 'x': True}",
                                {1}}),
    [](const ::testing::TestParamInfo<ShapeCase>& info) { return info.param.label; });

struct BadBlob {
    std::string label;
    Bytes blob;
    std::string message;
};

class NpyParserMalformed : public ::testing::TestWithParam<BadBlob> {};

TEST_P(NpyParserMalformed, FailsWithItsMessage) {
    EXPECT_EQ(runtimeMessage([&] { velk::io::parse_npy_blob(GetParam().blob); }), GetParam().message);
}

Bytes truncated(Bytes blob, std::size_t size) {
    blob.resize(size);
    return blob;
}

const std::string kNotNpy = "npz: not a valid .npy blob";
const std::string kNotF8 = "npz: only little-endian float64 (\"<f8\") arrays are supported";
const std::string kFortran = "npz: fortran-order arrays are not supported";
const std::string kNoShape = "npz: missing 'shape' in npy header";
const std::string kBadShape = "npz: malformed 'shape' tuple in npy header";
const std::string kShort = "npz: .npy data shorter than shape implies";

INSTANTIATE_TEST_SUITE_P(
    Blobs, NpyParserMalformed,
    ::testing::Values(
        BadBlob{"NineBytes", truncated(poseBlob(1), 9), kNotNpy},
        BadBlob{"WrongMagic",
                [] {
                    Bytes b = poseBlob(1);
                    b[1] = 'n';
                    return b;
                }(),
                kNotNpy},
        BadBlob{"VersionTwoWithoutItsLengthField", truncated(poseBlob(1, 2), 11), "npz: truncated .npy header"},
        BadBlob{"HeaderPastTheEnd", truncated(poseBlob(1), 60), "npz: truncated .npy header dict"},
        BadBlob{"VersionTwoHeaderPastTheEnd", truncated(poseBlob(1, 2), 40), "npz: truncated .npy header dict"},
        BadBlob{"BigEndian", npyBlob("{'descr': '>f8', 'fortran_order': False, 'shape': (1,), }", iota(1)), kNotF8},
        BadBlob{"Float32", npyBlob("{'descr': '<f4', 'fortran_order': False, 'shape': (2,), }", iota(1)), kNotF8},
        BadBlob{"Int64", npyBlob("{'descr': '<i8', 'fortran_order': False, 'shape': (1,), }", iota(1)), kNotF8},
        BadBlob{"Fortran", npyBlob("{'descr': '<f8', 'fortran_order': True, 'shape': (2, 2), }", iota(4)), kFortran},
        BadBlob{"FortranLastKey", npyBlob("{'descr': '<f8', 'shape': (2,), 'fortran_order': True}", iota(2)), kFortran},
        BadBlob{"NoShape", npyBlob("{'descr': '<f8', 'fortran_order': False}", iota(1)), kNoShape},
        BadBlob{"NoOpeningParenthesis", npyBlob("{'descr': '<f8', 'shape': [3, 4]}", iota(12)), kBadShape},
        BadBlob{"NoClosingParenthesis", npyBlob("{'descr': '<f8', 'shape': (3, 4", iota(12)), kBadShape},
        BadBlob{"OneElementShort", npyBlob(f8Header("(3, 4, 4)"), iota(47)), kShort},
        BadBlob{"OneByteShort", truncated(poseBlob(1), poseBlob(1).size() - 1), kShort},
        BadBlob{"ProductBeyondSixtyFourBits", npyBlob(f8Header("(4294967296, 4294967296, 4)"), iota(4)), kShort},
        BadBlob{"ProductWrappingToSmall", npyBlob(f8Header("(4294967296, 4294967296, 1)"), iota(1)), kShort},
        BadBlob{"NegativeDimension", npyBlob(f8Header("(-1, 4, 4)"), iota(16)), kShort}),
    [](const ::testing::TestParamInfo<BadBlob>& info) { return info.param.label; });

TEST(NpyParser, DimensionsFollowTheUnsignedConversionRules) {
    const Bytes letters = npyBlob(f8Header("(3, x)"), iota(3));
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { velk::io::parse_npy_blob(letters); }), "invalid stoull argument");
    const Bytes huge = npyBlob(f8Header("(18446744073709551616,)"), {});
    EXPECT_EQ(messageOf<std::out_of_range>([&] { velk::io::parse_npy_blob(huge); }), "stoull argument out of range");
}

}  // namespace
