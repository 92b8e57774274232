// TMemIniFile: reading, key order, kept lines, integers, and saves that never leave a half-written file.
#include "platform/MemIniFile.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(MemIniFile, MissingFileReadsAsEmptyAndSaveCreatesItInWriteOrder) {
    TempDir dir;
    TMemIniFile ini(dir.File("p.ini"));
    EXPECT_FALSE(ini.SectionExists("Common"));
    EXPECT_EQ(ini.ReadInteger("Common", "PortIndex", 0), 0);
    EXPECT_EQ(ini.ReadString("Common", "FileName", "none"), "none");
    ini.WriteInteger("Common", "PortIndex", 2);
    ini.WriteString("Common", "FileName", "/home/u/a.fwu");
    ini.UpdateFile();
    EXPECT_EQ(ReadText(dir.File("p.ini")), "[Common]\nPortIndex=2\nFileName=/home/u/a.fwu\n\n");
}

TEST(MemIniFile, UnknownSectionsKeysAndLinesAreWrittenBackInPlace) {
    TempDir dir;
    WriteText(dir.File("p.ini"),
              "; head\r\n[Other]\nA = 1\n# note\n[common]\nX=y\nPortIndex=1\n\n[Last]\nZ=\n");
    TMemIniFile ini(dir.File("p.ini"));
    EXPECT_EQ(ini.ReadInteger("COMMON", "portindex", 0), 1); // names compare without case
    EXPECT_EQ(ini.ReadString("Other", "A", ""), "1");
    ini.WriteInteger("Common", "PortIndex", -1);
    ini.WriteString("Common", "FileName", "f");
    ini.UpdateFile();
    EXPECT_EQ(ReadText(dir.File("p.ini")),
              "; head\n[Other]\nA=1\n# note\n\n[common]\nX=y\nPortIndex=-1\nFileName=f\n\n[Last]\nZ=\n\n");
}

TEST(MemIniFile, RepeatedSectionsAndKeysUseTheFirst) {
    TempDir dir;
    WriteText(dir.File("p.ini"), "[S]\nK=1\nK=2\n[T]\n[S]\nK=3\nL=4\n");
    TMemIniFile ini(dir.File("p.ini"));
    EXPECT_EQ(ini.ReadInteger("S", "K", 0), 1);
    EXPECT_EQ(ini.ReadInteger("S", "L", 0), 4);
    ini.WriteInteger("S", "K", 9);
    EXPECT_EQ(ini.Text(), "[S]\nK=9\nK=2\nK=3\nL=4\n\n[T]\n\n");
}

struct IntegerCase {
    const char* Name;
    const char* Value;
    int Expected;
};

class MemIniFileInteger : public testing::TestWithParam<IntegerCase> {};

TEST_P(MemIniFileInteger, ReadsTheValueOrTheDefault) {
    TempDir dir;
    WriteText(dir.File("p.ini"), std::string("[Common]\nPortIndex=") + GetParam().Value + "\n");
    EXPECT_EQ(TMemIniFile(dir.File("p.ini")).ReadInteger("Common", "PortIndex", 77), GetParam().Expected);
}

const IntegerCase kIntegerCases[] = {
    {"Decimal", "3", 3},
    {"Negative", "-1", -1},
    {"Blanks", "  5\t", 5},
    {"HexPrefix", "0x1F", 31},
    {"DollarHex", "$10", 16},
    {"Largest", "2147483647", 2147483647},
    {"Smallest", "-2147483648", -2147483647 - 1},
    {"TooLarge", "2147483648", 77},
    {"HugeNumber", "99999999999999999999999999", 77},
    {"Text", "abc", 77},
    {"TrailingText", "3x", 77},
    {"Empty", "", 77},
    {"SignOnly", "-", 77},
    {"HexWithoutDigits", "0x", 77},
    {"Fraction", "1.5", 77},
};

INSTANTIATE_TEST_SUITE_P(Values, MemIniFileInteger, testing::ValuesIn(kIntegerCases),
                         [](const testing::TestParamInfo<IntegerCase>& Case) { return Case.param.Name; });

TEST(MemIniFile, GarbageIsReadWithoutHarm) {
    TempDir dir;
    std::string garbage;
    for (unsigned i = 0; i < 300000; ++i) {
        garbage += static_cast<char>((i * 7919u) % 256u);
    }
    garbage += std::string(2'000'000, 'x'); // one very long line
    for (int i = 0; i < 200000; ++i) {
        garbage += "\n[S" + std::to_string(i) + "]\nK=" + std::to_string(i);
    }
    WriteText(dir.File("p.ini"), garbage);
    TMemIniFile ini(dir.File("p.ini"));
    EXPECT_EQ(ini.ReadInteger("Common", "PortIndex", 0), 0);
    EXPECT_EQ(ini.ReadInteger("S199999", "K", 0), 199999);
    ini.WriteInteger("Common", "PortIndex", 1);
    ini.UpdateFile();
    EXPECT_EQ(TMemIniFile(dir.File("p.ini")).ReadInteger("Common", "PortIndex", 0), 1);
    // Rewritten as text: the damaged lines are gone, the sections that were sound are kept.
    const std::string saved = ReadText(dir.File("p.ini"));
    EXPECT_EQ(
        std::count_if(saved.begin(), saved.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t'; }),
        0);
    EXPECT_EQ(TMemIniFile(dir.File("p.ini")).ReadInteger("S199999", "K", 0), 199999);
}

TEST(MemIniFile, FileThatCannotBeReadThrowsNamingIt) {
    TempDir dir;
    std::filesystem::create_directory(dir.File("p.ini")); // exists, but is no readable file
    try {
        TMemIniFile ini(dir.File("p.ini"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(dir.File("p.ini")), std::string::npos) << error.what();
    }
}

TEST(MemIniFile, ValuesThatWouldBreakTheFileAreRefused) {
    TempDir dir;
    TMemIniFile ini(dir.File("p.ini"));
    EXPECT_THROW(ini.WriteString("Common", "FileName", "a\nPortIndex=3"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("Common", "Bad=Key", "v"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("Bad]", "Key", "v"), std::invalid_argument);
    EXPECT_EQ(ini.Text(), "");
}

std::size_t EntriesIn(const std::filesystem::path& folder) {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()));
}

TEST(MemIniFile, FailedSaveKeepsTheOldFileAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string old = "[Common]\nPortIndex=1\nFileName=old\n\n";
    WriteText(dir.File("p.ini"), old);
    TMemIniFile ini(dir.File("p.ini"));
    ini.WriteString("Common", "FileName", std::string(100000, 'n'));

    // The write fails part-way: the file size limit stops it after the first bytes.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    std::string message;
    try {
        ini.UpdateFile();
    } catch (const std::runtime_error& error) {
        threw = true;
        message = error.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(threw);
    EXPECT_NE(message.find(dir.File("p.ini")), std::string::npos) << message;
    EXPECT_EQ(ReadText(dir.File("p.ini")), old);
    EXPECT_EQ(EntriesIn(dir.Path), 1u);
}

TEST(MemIniFile, SaveIntoAFolderThatIsGoneThrows) {
    TempDir dir;
    std::filesystem::create_directory(dir.File("sub"));
    TMemIniFile ini(dir.File("sub/p.ini"));
    std::filesystem::remove(dir.File("sub"));
    WriteText(dir.File("sub"), "a file where the folder was");
    ini.WriteInteger("Common", "PortIndex", 0);
    EXPECT_THROW(ini.UpdateFile(), std::runtime_error);
    EXPECT_EQ(ReadText(dir.File("sub")), "a file where the folder was");
}

TEST(MemIniFile, SaveKeepsTheModeAndWritesThroughASymbolicLink) {
    TempDir dir;
    WriteText(dir.File("real.ini"), "[Common]\nPortIndex=0\n");
    ::chmod(dir.File("real.ini").c_str(), 0600);
    std::filesystem::create_symlink(dir.File("real.ini"), dir.File("p.ini"));
    TMemIniFile ini(dir.File("p.ini"));
    ini.WriteInteger("Common", "PortIndex", 3);
    ini.UpdateFile();
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("p.ini")));
    EXPECT_EQ(TMemIniFile(dir.File("real.ini")).ReadInteger("Common", "PortIndex", 0), 3);
    struct stat st {};
    ASSERT_EQ(::stat(dir.File("real.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

} // namespace
