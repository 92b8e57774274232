// pagewright-fwu run as a program: files it makes read back as asked, info's text, and its exit statuses.
#include "package/UpdateFile.h"
#include "package/UpdateFileWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct ToolRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Fwu : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pw-fwu-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    ToolRun Tool(const std::vector<std::string>& args) const {
        std::vector<std::string> all{PW_FWU_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const std::string out = Path("stdout.txt");
        const std::string err = Path("stderr.txt");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        ToolRun run;
        const int spawned = posix_spawn(&pid, PW_FWU_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << PW_FWU_PATH;
            return run;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.Out = Slurp(out);
        run.Err = Slurp(err);
        return run;
    }

    std::filesystem::path dir_;
};

TEST_F(Fwu, InfoShowsHeaderAndSortedLists) {
    const std::string file = Path("a.fwu");
    const ToolRun made =
        Tool({"make", file, "--pages", "9", "--record-size", "41", "--hw-major", "3", "--hw-minor", "0x3E8",
              "--hw", "5,12,3", "--sw", "0x1A05,1.2.0.0,0.0.0.0,15.15.15.15"});
    ASSERT_EQ(made.Status, 0) << made.Err;
    const ToolRun info = Tool({"info", file});
    EXPECT_EQ(info.Status, 0) << info.Err;
    EXPECT_EQ(info.Out, "File: " + file +
                            "\n"
                            "PageCount: 9\n"
                            "PageRecordSize: 41\n"
                            "Data words per page: 16\n"
                            "HwMajor: 3\n"
                            "HwMinor: 1000\n"
                            "HwCount: 3\n"
                            "SwCount: 4\n"
                            "Hardware versions:\n"
                            "  3.1000.12\n"
                            "  3.1000.3\n"
                            "  3.1000.5\n"
                            "Software versions:\n"
                            "  0.0.0.0\n"
                            "  1.10.0.5\n"
                            "  1.2.0.0\n"
                            "  15.15.15.15\n");
    EXPECT_TRUE(info.Err.empty());
}

TEST_F(Fwu, MadeFileReadsBackWithTheGivenContents) {
    const std::string file = Path("b.fwu");
    ASSERT_EQ(
        Tool({"make", file, "--pages=20", "--record-size=200", "--hw=", "--sw", "0xFFFF", "--pattern", "7"})
            .Status,
        0);
    const UpdateFileResult r = ReadUpdateFile(file);
    ASSERT_TRUE(r.Ok) << r.Error;
    UpdateFileLayout layout;
    layout.PageCount = 20;
    layout.PageRecordSize = 200;
    layout.HwRevisions = {};
    layout.SwVersions = {0xFFFF};
    layout.PatternSeed = 7;
    const ByteBuffer expected = MakeUpdateData(layout);
    EXPECT_EQ(r.Package, ReadUpdateData(expected.data(), expected.size()).Package);
    EXPECT_TRUE(r.Package.HwRevisions.empty());
}

TEST_F(Fwu, ImageIsCutIntoPagesAndPaddedWithFF) {
    ByteBuffer image(250);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i);
    }
    const std::string imagePath = Path("image.bin");
    std::ofstream(imagePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    const std::string file = Path("c.fwu");
    const ToolRun made = Tool({"make", file, "--image", imagePath, "--record-size", "108"});
    ASSERT_EQ(made.Status, 0) << made.Err;
    const UpdateFileResult r = ReadUpdateFile(file);
    ASSERT_TRUE(r.Ok) << r.Error;
    ASSERT_EQ(r.PageCount, 3); // 250 bytes in records of 108
    ByteBuffer pages;
    for (const auto& [key, page] : r.Package.PageMap) {
        pages.insert(pages.end(), page.Head.begin(), page.Head.end());
        for (const std::uint16_t word : page.Data) {
            pages.push_back(static_cast<std::uint8_t>(word & 0xFF));
            pages.push_back(static_cast<std::uint8_t>(word >> 8));
        }
    }
    ByteBuffer expected = image;
    expected.resize(3 * 108, 0xFF);
    EXPECT_EQ(pages, expected);

    const ToolRun tooSmall =
        Tool({"make", Path("d.fwu"), "--image", imagePath, "--record-size", "108", "--pages", "2"});
    EXPECT_EQ(tooSmall.Status, 1);
    EXPECT_NE(tooSmall.Err.find("250 bytes"), std::string::npos) << tooSmall.Err;
}

struct MalformedCase {
    const char* Name;
    std::vector<std::string> Options;
};

const MalformedCase kMalformed[] = {
    {"BadMagic", {"--bad-magic"}},
    {"TruncatedPages", {"--pages", "10", "--truncate", "1"}},
    {"BelowMinimumLength", {"--pages", "0", "--truncate", "1"}},
    {"TooManyHardwareEntries", {"--hw", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21"}},
    {"HwCountOverride", {"--hw-count-override", "21"}},
    {"SwCountOverride", {"--sw-count-override", "65535"}},
    {"RecordSizeBelowHead", {"--record-size", "7"}},
    {"RecordSizeTooLongForFrame", {"--record-size", "65534", "--pages", "1"}},
};

class FwuMalformed : public Fwu, public testing::WithParamInterface<MalformedCase> {};

TEST_P(FwuMalformed, InfoRefusesWithTheReadersError) {
    const std::string file = Path("bad.fwu");
    std::vector<std::string> args{"make", file};
    args.insert(args.end(), GetParam().Options.begin(), GetParam().Options.end());
    const ToolRun made = Tool(args);
    ASSERT_EQ(made.Status, 0) << made.Err;
    const ToolRun info = Tool({"info", file});
    EXPECT_EQ(info.Status, 1);
    EXPECT_EQ(info.Err, "Bad file format.\n");
    EXPECT_TRUE(info.Out.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, FwuMalformed, testing::ValuesIn(kMalformed),
                         [](const testing::TestParamInfo<MalformedCase>& p) {
                             return std::string(p.param.Name);
                         });

TEST_F(Fwu, InfoOnMissingFileGivesTheOpenError) {
    const std::string file = Path("missing.fwu");
    const ToolRun info = Tool({"info", file});
    EXPECT_EQ(info.Status, 1);
    EXPECT_EQ(info.Err, "Cannot open file \"" + file + "\". No such file or directory\n");
}

struct UsageCase {
    const char* Name;
    std::vector<std::string> Args;
    const char* ErrorPart;
};

const UsageCase kUsage[] = {
    {"NoCommand", {}, "Usage: pagewright-fwu"},
    {"UnknownCommand", {"show"}, "unknown command \"show\""},
    {"UnknownOption", {"make", "x.fwu", "--colour", "red"}, "unknown option --colour"},
    {"MissingValue", {"make", "x.fwu", "--pages"}, "--pages needs a value"},
    {"NumberOutOfRange", {"make", "x.fwu", "--hw-major", "256"}, "not a number from 0 to 255"},
    {"NotANumber", {"make", "x.fwu", "--pages", "ten"}, "\"ten\" is not a number"},
    {"DottedVersionNeedsFourDigits", {"make", "x.fwu", "--sw", "1.2.3"}, "not a software version"},
    {"DottedDigitTooLarge", {"make", "x.fwu", "--sw", "1.16.0.0"}, "not a number from 0 to 15"},
    {"ImageAndPattern", {"make", "x.fwu", "--image", "i.bin", "--pattern", "3"}, "exclude each other"},
    {"FlagWithValue", {"make", "x.fwu", "--bad-magic=yes"}, "--bad-magic takes no value"},
    {"MakeWithoutOut", {"make", "--pages", "3"}, "needs the OUT file"},
    {"InfoWithoutFile", {"info"}, "needs the FILE"},
    {"InfoWithTwoFiles", {"info", "a.fwu", "b.fwu"}, "exactly one FILE"},
};

class FwuUsage : public Fwu, public testing::WithParamInterface<UsageCase> {};

TEST_P(FwuUsage, ExitsWithStatus2AndSaysWhy) {
    const ToolRun run = Tool(GetParam().Args);
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Err.find(GetParam().ErrorPart), std::string::npos) << run.Err;
    EXPECT_FALSE(std::filesystem::exists("x.fwu"));
}

INSTANTIATE_TEST_SUITE_P(Cases, FwuUsage, testing::ValuesIn(kUsage),
                         [](const testing::TestParamInfo<UsageCase>& p) {
                             return std::string(p.param.Name);
                         });

TEST_F(Fwu, HelpForEachCommand) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"info", "--help"}, {"make", "--help"}}) {
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.Status, 0) << args.front();
        EXPECT_EQ(run.Out.rfind("Usage: pagewright-fwu", 0), 0u) << run.Out;
    }
    EXPECT_NE(Tool({"make", "--help"}).Out.find("--hw-count-override"), std::string::npos);
}

TEST_F(Fwu, UnwritableOutputFails) {
    const ToolRun run = Tool({"make", Path("no-such-folder/x.fwu")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Err.find("Cannot write file"), std::string::npos) << run.Err;
}

} // namespace
