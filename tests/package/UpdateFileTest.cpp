// Reading update files: header checks, list and page layout, file access errors, version lines.
#include "package/UpdateFile.h"
#include "package/UpdateFileWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

template <class Case> std::string CaseName(const testing::TestParamInfo<Case>& param) {
    return param.param.Name;
}

UpdateFileResult Read(const ByteBuffer& bytes) {
    return ReadUpdateData(bytes.data(), bytes.size());
}

UpdateFileLayout NoPages(std::size_t hwCount) {
    UpdateFileLayout layout;
    layout.PageCount = 0;
    layout.PageRecordSize = 8;
    layout.HwRevisions.assign(hwCount, 7);
    return layout;
}

// A file laid out by hand, independent of the writer: HwMajor 2, HwMinor 1000, one hardware entry 5,
// software 0x1A05 and 0x0000, one page of PageRecordSize 11 (8 head bytes and one word, the odd byte
// belongs to the next record), then padding to the minimum length.
ByteBuffer HandMadeFile() {
    ByteBuffer b = {'B',  'O',  'O',  'T',  '_', 'F', 'I', 'L', 'E',  0,    0xAA, 0xBB, // not read
                    0x02, 0x00,                                                         // PageCount 2
                    0x0B, 0x00,                                                         // PageRecordSize 11
                    0xCC, 0xDD,                                                         // not read
                    0xE8, 0x03,                                                         // HwMinor 1000
                    0xEE,                                                               // not interpreted
                    0x02,                                                               // HwMajor
                    0x01, 0x00,                                                         // HwCount
                    0x02, 0x00,                                                         // SwCount
                    0x05, 0x00,                                                         // hardware list
                    0x05, 0x1A, 0x00, 0x00,                                             // software list
                    0x99, 0x99,                                                         // skipped
                    0,    1,    2,    3,    4,   5,   6,   7,   0x34, 0x12,             // page 0
                    8,    9,    10,   11,   12,  13,  14,  15,  0xCD, 0xAB};            // page 1
    b.resize(1 + 282, 0x77);
    return b;
}

TEST(UpdateFileLayout, HandMadeFileGivesItsFields) {
    const UpdateFileResult r = Read(HandMadeFile());
    ASSERT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.PageCount, 2);
    EXPECT_EQ(r.Package.HwMajor, 2);
    EXPECT_EQ(r.Package.HwMinor, 1000);
    EXPECT_EQ(r.Package.PageRecordSize, 11u);
    EXPECT_EQ(r.Package.HwRevisions, (std::vector<std::uint16_t>{5}));
    EXPECT_EQ(r.Package.SwVersions, (std::vector<std::uint16_t>{0x1A05, 0x0000}));
    ASSERT_EQ(r.Package.PageMap.size(), 2u);
    const TVarLoadPage& p0 = r.Package.PageMap.at(0);
    const TVarLoadPage& p1 = r.Package.PageMap.at(1);
    EXPECT_EQ(p0.Head, (std::array<std::uint8_t, 8>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(p0.Data, (std::vector<std::uint16_t>{0x1234}));
    EXPECT_EQ(p1.Head, (std::array<std::uint8_t, 8>{8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(p1.Data, (std::vector<std::uint16_t>{0xABCD}));
    EXPECT_TRUE(r.Error.empty());
}

TEST(UpdateFileLayout, PagesHoldTheWrittenRecordsInOrder) {
    UpdateFileLayout layout;
    layout.PageCount = 300;
    layout.PageRecordSize = 41; // odd: 8 head bytes and 16 words
    layout.PatternSeed = 99;
    layout.SwVersions = {0x0001, 0xFFFF, 0x1A05};
    const UpdateFileResult r = Read(MakeUpdateData(layout));
    ASSERT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.PageCount, 300);
    EXPECT_EQ(r.Package.SwVersions, layout.SwVersions);
    ASSERT_EQ(r.Package.PageMap.size(), 300u);
    std::int32_t expectedKey = 0;
    for (const auto& [key, page] : r.Package.PageMap) {
        ASSERT_EQ(key, expectedKey);
        const ByteBuffer record = PageRecord(layout, static_cast<std::uint16_t>(key));
        ASSERT_EQ(record.size(), 40u);
        EXPECT_TRUE(std::equal(page.Head.begin(), page.Head.end(), record.begin())) << "page " << key;
        ASSERT_EQ(page.Data.size(), 16u);
        for (std::size_t i = 0; i < page.Data.size(); ++i) {
            EXPECT_EQ(page.Data[i], record[8 + 2 * i] | (record[9 + 2 * i] << 8)) << "page " << key;
        }
        ++expectedKey;
    }
}

// One file each, built from the writer's layout and optionally edited byte-wise afterwards.
struct FormatCase {
    const char* Name;
    std::function<ByteBuffer()> Make;
    bool Accepted;
};

ByteBuffer Layout(const UpdateFileLayout& layout) {
    return MakeUpdateData(layout);
}

ByteBuffer WithByte(ByteBuffer b, std::size_t at, std::uint8_t value) {
    b.at(at) = value;
    return b;
}

const FormatCase kFormatCases[] = {
    {"TwentyFiveBytes",
     [] {
         auto b = Layout(UpdateFileLayout{});
         b.resize(25);
         return b;
     },
     false},
    {"GoodHeaderAloneWithoutHardware",
     [] {
         auto s = NoPages(0);
         s.SwVersions = {};
         s.PadToMinimum = false;
         auto b = Layout(s);
         b.resize(26);
         return b;
     },
     false},
    {"NoHardwareEntriesAt282Bytes", [] { return Layout(NoPages(0)); }, true},
    {"NoHardwareEntriesAt281Bytes",
     [] {
         auto s = NoPages(0);
         s.Truncate = 1;
         return Layout(s);
     },
     false},
    {"ExactlyHwCountPlus282",
     [] {
         auto s = NoPages(3);
         auto b = Layout(s);
         return b;
     },
     true},
    {"OneByteBelowHwCountPlus282",
     [] {
         auto s = NoPages(3);
         s.Truncate = 1;
         return Layout(s);
     },
     false},
    {"HwCount20At302Bytes", [] { return Layout(NoPages(20)); }, true},
    {"HwCount21",
     [] {
         auto s = NoPages(21);
         s.TrailingBytes = 1000;
         return Layout(s);
     },
     false},
    {"HwCountHugeInSmallFile",
     [] {
         auto s = NoPages(1);
         s.HwCountOverride = 0xFFFF;
         return Layout(s);
     },
     false},
    {"SignatureLowerCase",
     [] {
         auto s = UpdateFileLayout{};
         s.BadMagic = true;
         return Layout(s);
     },
     false},
    {"SignatureOneLetterLowerCase", [] { return WithByte(Layout(UpdateFileLayout{}), 8, 'e'); }, false},
    {"SignatureNotZeroTerminated", [] { return WithByte(Layout(UpdateFileLayout{}), 9, ' '); }, false},
    {"PageCountZero",
     [] {
         auto s = UpdateFileLayout{};
         s.PageCount = 0;
         return Layout(s);
     },
     true},
    {"PageRecordSize8",
     [] {
         auto s = UpdateFileLayout{};
         s.PageRecordSize = 8;
         return Layout(s);
     },
     true},
    {"PageRecordSize11",
     [] {
         auto s = UpdateFileLayout{};
         s.PageRecordSize = 11;
         return Layout(s);
     },
     true},
    {"PageRecordSize7",
     [] {
         auto s = UpdateFileLayout{};
         s.PageRecordSize = 7;
         s.TrailingBytes = 100;
         return Layout(s);
     },
     false},
    {"PageRecordSize0",
     [] {
         auto s = UpdateFileLayout{};
         s.PageRecordSize = 0;
         return Layout(s);
     },
     false},
    {"PageRecordSize65533",
     [] {
         auto s = UpdateFileLayout{};
         s.PageCount = 2;
         s.PageRecordSize = 65533;
         return Layout(s);
     },
     true},
    {"PageRecordSize65534",
     [] {
         auto s = UpdateFileLayout{};
         s.PageCount = 1;
         s.PageRecordSize = 65534;
         return Layout(s);
     },
     false},
    {"PageRecordSize65535",
     [] {
         auto s = UpdateFileLayout{};
         s.PageCount = 1;
         s.PageRecordSize = 65535;
         s.TrailingBytes = 10;
         return Layout(s);
     },
     false},
    {"LastPageOneByteShort",
     [] {
         auto s = UpdateFileLayout{};
         s.PageCount = 10;
         s.PageRecordSize = 200;
         s.Truncate = 1;
         return Layout(s);
     },
     false},
    {"LastPageComplete",
     [] {
         auto s = UpdateFileLayout{};
         s.PageCount = 10;
         s.PageRecordSize = 200;
         return Layout(s);
     },
     true},
    {"PageCountHugeInSmallFile",
     [] {
         auto s = UpdateFileLayout{};
         s.PageCount = 1;
         auto b = Layout(s);
         b[12] = 0xFF;
         b[13] = 0xFF;
         b[14] = 0xFD;
         b[15] = 0xFF;
         return b;
     },
     false},
    {"SwCountHugeInSmallFile",
     [] {
         auto s = UpdateFileLayout{};
         s.SwCountOverride = 0xFFFF;
         return Layout(s);
     },
     false},
    {"FileEndsInsideSoftwareList",
     [] {
         auto s = NoPages(1);
         s.SwVersions.assign(150, 1);
         s.Truncate = 100;
         return Layout(s);
     },
     false},
    {"FileEndsInsideSkippedBytes",
     [] {
         auto s = NoPages(1);
         s.SwVersions.assign(127, 1);
         s.Truncate = 1;
         s.PadToMinimum = false;
         return Layout(s);
     },
     false},
    {"SwCountSeveralHundred",
     [] {
         auto s = UpdateFileLayout{};
         s.SwVersions.assign(700, 0x1234);
         return Layout(s);
     },
     true},
};

class UpdateFileFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(UpdateFileFormat, AcceptsOrRefuses) {
    const ByteBuffer bytes = GetParam().Make();
    const UpdateFileResult r = Read(bytes);
    if (GetParam().Accepted) {
        ASSERT_TRUE(r.Ok) << r.Error;
        EXPECT_TRUE(r.Error.empty());
        EXPECT_EQ(r.Package.PageMap.size(), r.PageCount);
        EXPECT_NE(r.Package.PageRecordSize, 0u);
        const std::size_t words = (r.Package.PageRecordSize - 8) / 2;
        for (const auto& [key, page] : r.Package.PageMap) {
            EXPECT_EQ(page.Data.size(), words) << "page " << key;
        }
    } else {
        EXPECT_FALSE(r.Ok);
        EXPECT_EQ(r.Error, "Bad file format.");
        // A refused read hands back nothing a caller could mistake for a package.
        EXPECT_EQ(r.Package, UpdatePackage{});
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateFileFormat, testing::ValuesIn(kFormatCases), CaseName<FormatCase>);

// The boundary cases above rest on these lengths.
TEST(UpdateFileFormat, BoundaryFilesHaveTheirLengths) {
    EXPECT_EQ(MakeUpdateData(NoPages(0)).size(), 282u);
    EXPECT_EQ(MakeUpdateData(NoPages(3)).size(), 285u);
    EXPECT_EQ(MakeUpdateData(NoPages(20)).size(), 302u);
}

TEST(UpdateFileFormat, RecordSizeGivesWordCount) {
    for (const auto& [size, words] : {std::pair{8, 0}, {9, 0}, {10, 1}, {11, 1}, {72, 32}, {65533, 32762}}) {
        UpdateFileLayout s;
        s.PageCount = 2;
        s.PageRecordSize = static_cast<std::uint16_t>(size);
        const UpdateFileResult r = Read(MakeUpdateData(s));
        ASSERT_TRUE(r.Ok) << size;
        EXPECT_EQ(r.Package.PageMap.at(1).Data.size(), static_cast<std::size_t>(words)) << size;
        EXPECT_EQ(r.Package.PageMap.at(1).Data, Read(MakeUpdateData(s)).Package.PageMap.at(1).Data);
    }
}

// Bytes that are never interpreted: the header's unused fields, the 2 bytes after the software list and
// anything after the last page.
struct IgnoredByteCase {
    const char* Name;
    std::size_t Offset;
    bool FromEnd; // Offset counts back from the last byte of the file
};

const IgnoredByteCase kIgnoredBytes[] = {
    {"Header10", 10, false},      {"Header11", 11, false},    {"Header16", 16, false},
    {"Header17", 17, false},      {"Header20", 20, false},    {"SkippedFirst", 30, false},
    {"SkippedSecond", 31, false}, // header 26, one hardware and one software entry
    {"LastTrailing", 0, true},    {"FirstTrailing", 3, true},
};

class UpdateFileIgnoredBytes : public testing::TestWithParam<IgnoredByteCase> {};

TEST_P(UpdateFileIgnoredBytes, HaveNoEffect) {
    UpdateFileLayout layout;
    layout.TrailingBytes = 4;
    const ByteBuffer good = MakeUpdateData(layout);
    ASSERT_GT(good.size(), 200u);
    const std::size_t at = GetParam().FromEnd ? good.size() - 1 - GetParam().Offset : GetParam().Offset;
    ByteBuffer changed = good;
    changed.at(at) ^= 0x5A;
    const UpdateFileResult a = Read(good);
    const UpdateFileResult b = Read(changed);
    ASSERT_TRUE(a.Ok);
    ASSERT_TRUE(b.Ok) << b.Error;
    EXPECT_EQ(a.Package, b.Package);
    EXPECT_EQ(a.PageCount, b.PageCount);
}

INSTANTIATE_TEST_SUITE_P(Offsets, UpdateFileIgnoredBytes, testing::ValuesIn(kIgnoredBytes),
                         CaseName<IgnoredByteCase>);

TEST(UpdateFileFormat, LoadingTheSameBytesTwiceGivesTheSamePackage) {
    const ByteBuffer bytes = MakeUpdateData(UpdateFileLayout{});
    EXPECT_EQ(Read(bytes).Package, Read(bytes).Package);
}

TEST(UpdateFileFormat, NullDataIsRefused) {
    const UpdateFileResult r = ReadUpdateData(nullptr, 1000);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, "Bad file format.");
}

class UpdateFileOnDisk : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pw-updatefile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const char* name) const { return (dir_ / name).string(); }

    std::string Write(const char* name, const ByteBuffer& bytes) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    std::filesystem::path dir_;
};

TEST_F(UpdateFileOnDisk, ReadsTheSameAsFromMemory) {
    UpdateFileLayout layout;
    layout.PageCount = 100;
    const ByteBuffer bytes = MakeUpdateData(layout);
    const UpdateFileResult r = ReadUpdateFile(Write("a.fwu", bytes));
    ASSERT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.Package, Read(bytes).Package);
    EXPECT_EQ(r.PageCount, 100);
}

// Large files are read in pieces; records that straddle the pieces' borders must come out whole.
TEST_F(UpdateFileOnDisk, LargeFileWithRecordsAcrossReadBorders) {
    UpdateFileLayout layout;
    layout.PageCount = 9000;
    layout.PageRecordSize = 1001; // 1000-byte records: no border of a power-of-two piece falls between two
    layout.SwVersions.assign(333, 0x0102);
    const ByteBuffer bytes = MakeUpdateData(layout);
    const UpdateFileResult r = ReadUpdateFile(Write("big.fwu", bytes));
    ASSERT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.Package, Read(bytes).Package);
}

TEST_F(UpdateFileOnDisk, WriterFileReadsBack) {
    UpdateFileLayout layout;
    layout.PageCount = 7;
    const std::string path = Path("w.fwu");
    WriteUpdateFile(path, layout);
    const UpdateFileResult r = ReadUpdateFile(path);
    ASSERT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.Package, Read(MakeUpdateData(layout)).Package);
    EXPECT_THROW(WriteUpdateFile(Path("missing/w.fwu"), layout), std::runtime_error);
}

TEST_F(UpdateFileOnDisk, TruncatedFileIsRefused) {
    UpdateFileLayout layout;
    layout.PageCount = 100;
    layout.Truncate = 3;
    const UpdateFileResult r = ReadUpdateFile(Write("t.fwu", MakeUpdateData(layout)));
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, "Bad file format.");
}

TEST_F(UpdateFileOnDisk, MissingFileGivesTheOpenError) {
    const std::string path = Path("gone.fwu");
    const UpdateFileResult r = ReadUpdateFile(path);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, "Cannot open file \"" + path + "\". No such file or directory");
}

TEST_F(UpdateFileOnDisk, DirectoryIsRefused) {
    const std::string path = Path("folder.fwu");
    std::filesystem::create_directory(path);
    const UpdateFileResult r = ReadUpdateFile(path);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, "Cannot open file \"" + path + "\". Is a directory");
}

// Opening a FIFO for reading would wait for a writer; it must be refused at once.
TEST_F(UpdateFileOnDisk, FifoIsRefusedWithoutWaiting) {
    const std::string path = Path("pipe.fwu");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const UpdateFileResult r = ReadUpdateFile(path);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, "Cannot open file \"" + path + "\". Not a regular file");
}

TEST_F(UpdateFileOnDisk, UnreadableFileGivesTheOpenError) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "file permissions do not stop root";
    }
    const std::string path = Write("locked.fwu", MakeUpdateData(UpdateFileLayout{}));
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    const UpdateFileResult r = ReadUpdateFile(path);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, "Cannot open file \"" + path + "\". Permission denied");
}

struct HardwareLineCase {
    const char* Name;
    std::uint8_t Major;
    std::uint16_t Minor;
    std::uint16_t Revision;
    const char* Line;
};

const HardwareLineCase kHardwareLines[] = {
    {"Example", 2, 1000, 5, "2.1000.5"},
    {"Zeros", 0, 0, 0, "0.0.0"},
    {"Largest", 255, 65535, 65535, "255.65535.65535"},
    {"NoGrouping", 100, 12345, 1000, "100.12345.1000"},
};

class HardwareLineText : public testing::TestWithParam<HardwareLineCase> {};

TEST_P(HardwareLineText, IsPlainDecimal) {
    EXPECT_EQ(HardwareLine(GetParam().Major, GetParam().Minor, GetParam().Revision), GetParam().Line);
}

INSTANTIATE_TEST_SUITE_P(Cases, HardwareLineText, testing::ValuesIn(kHardwareLines),
                         CaseName<HardwareLineCase>);

struct SoftwareLineCase {
    const char* Name;
    std::uint16_t Version;
    const char* Line;
};

const SoftwareLineCase kSoftwareLines[] = {
    {"Example", 0x1A05, "1.10.0.5"},      {"Zero", 0x0000, "0.0.0.0"},
    {"AllBits", 0xFFFF, "15.15.15.15"},   {"DigitOrder", 0x1234, "1.2.3.4"},
    {"LowDigitOnly", 0x000B, "0.0.0.11"},
};

class SoftwareLineText : public testing::TestWithParam<SoftwareLineCase> {};

TEST_P(SoftwareLineText, GivesFourDigitsMostSignificantFirst) {
    EXPECT_EQ(SoftwareLine(GetParam().Version), GetParam().Line);
}

INSTANTIATE_TEST_SUITE_P(Cases, SoftwareLineText, testing::ValuesIn(kSoftwareLines),
                         CaseName<SoftwareLineCase>);

TEST(LookupPage, FindsStoredPagesAndRefusesOthers) {
    UpdateFileLayout layout;
    layout.PageCount = 3;
    const UpdateFileResult r = Read(MakeUpdateData(layout));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(&LookupPage(r.Package, 2), &r.Package.PageMap.at(2));
    EXPECT_THROW(LookupPage(r.Package, 3), std::out_of_range);
    EXPECT_THROW(LookupPage(r.Package, -1), std::out_of_range);
    EXPECT_THROW(LookupPage(UpdatePackage{}, 0), std::out_of_range);
}

} // namespace
