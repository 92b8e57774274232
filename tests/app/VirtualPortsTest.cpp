// VirtualPorts: which links in the user's serialcomm folder are offered as ports.
#include "platform/VirtualPorts.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A pseudo-terminal pair; the slave's path is what a virtual port links to.
class Pty {
public:
    Pty() {
        Master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (Master >= 0 && ::grantpt(Master) == 0 && ::unlockpt(Master) == 0) {
            SlavePath = ::ptsname(Master);
        }
    }
    ~Pty() {
        if (Master >= 0) {
            ::close(Master);
        }
    }
    int Master = -1;
    std::string SlavePath;
};

class VirtualPortsTest : public testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        HadRuntime = old != nullptr;
        OldRuntime = old ? old : "";
        ::setenv("XDG_RUNTIME_DIR", Runtime.Path.c_str(), 1);
    }
    void TearDown() override {
        if (HadRuntime) {
            ::setenv("XDG_RUNTIME_DIR", OldRuntime.c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }
    std::string Folder() const { return Runtime.File("serialcomm"); }

    TempDir Runtime;
    bool HadRuntime = false;
    std::string OldRuntime;
};

TEST_F(VirtualPortsTest, FolderFollowsTheRuntimeFolderOrFallsBackToTmp) {
    EXPECT_EQ(VirtualPorts::Folder(), Folder());
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(VirtualPorts::Folder(), "/tmp/serialcomm-" + std::to_string(::geteuid()));
}

TEST_F(VirtualPortsTest, EnsureFolderCreatesAPrivateFolderAndRefusesAnOpenOne) {
    std::string error;
    ASSERT_TRUE(VirtualPorts::EnsureFolder(error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(Folder().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(VirtualPorts::EnsureFolder(error)) << "an existing private folder is fine";

    ::chmod(Folder().c_str(), 0755);
    EXPECT_FALSE(VirtualPorts::EnsureFolder(error));
    EXPECT_NE(error.find(Folder()), std::string::npos) << error;
}

TEST_F(VirtualPortsTest, ListsOnlyLinksToTheUsersOwnPseudoTerminals) {
    Pty pty;
    if (pty.SlavePath.empty()) {
        GTEST_SKIP() << "no pseudo-terminal available";
    }
    std::string error;
    ASSERT_TRUE(VirtualPorts::EnsureFolder(error)) << error;
    std::filesystem::create_symlink(pty.SlavePath, Folder() + "/rvk");
    WriteText(Runtime.File("plain"), "x");
    std::filesystem::create_symlink(Runtime.File("plain"), Folder() + "/to-file");
    std::filesystem::create_symlink(Runtime.Path, Folder() + "/to-folder");
    std::filesystem::create_symlink("/dev/null", Folder() + "/to-null");
    std::filesystem::create_symlink(Runtime.File("missing"), Folder() + "/dangling");
    WriteText(Folder() + "/not-a-link", "x");
    std::filesystem::create_symlink(pty.SlavePath, Folder() + "/.rvk.new"); // a link being put in place

    const auto ports = VirtualPorts::List();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].first, "rvk");
    EXPECT_EQ(ports[0].second, Folder() + "/rvk");
}

TEST_F(VirtualPortsTest, IgnoresAnotherUsersTerminal) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a terminal to another user";
    }
    Pty pty;
    if (pty.SlavePath.empty()) {
        GTEST_SKIP() << "no pseudo-terminal available";
    }
    std::string error;
    ASSERT_TRUE(VirtualPorts::EnsureFolder(error)) << error;
    ASSERT_EQ(::chown(pty.SlavePath.c_str(), 4242, static_cast<gid_t>(-1)), 0);
    std::filesystem::create_symlink(pty.SlavePath, Folder() + "/rvk");
    EXPECT_TRUE(VirtualPorts::List().empty());
}

struct FolderCase {
    const char* Name;
    void (*Spoil)(const std::string& folder, const std::string& runtime);
};

const FolderCase kUnsafeFolders[] = {
    {"Missing", [](const std::string& folder, const std::string&) { std::filesystem::remove_all(folder); }},
    {"OpenToOthers", [](const std::string& folder, const std::string&) { ::chmod(folder.c_str(), 0755); }},
    {"GroupReadable", [](const std::string& folder, const std::string&) { ::chmod(folder.c_str(), 0740); }},
    {"SymbolicLinkToAPrivateFolder",
     [](const std::string& folder, const std::string& runtime) {
         std::filesystem::rename(folder, runtime + "/real");
         std::filesystem::create_symlink(runtime + "/real", folder);
     }},
};

class VirtualPortsUnsafeFolder : public VirtualPortsTest, public testing::WithParamInterface<FolderCase> {};

TEST_P(VirtualPortsUnsafeFolder, ListsNothing) {
    Pty pty;
    if (pty.SlavePath.empty()) {
        GTEST_SKIP() << "no pseudo-terminal available";
    }
    std::string error;
    ASSERT_TRUE(VirtualPorts::EnsureFolder(error)) << error;
    std::filesystem::create_symlink(pty.SlavePath, Folder() + "/rvk");
    ASSERT_EQ(VirtualPorts::List().size(), 1u);
    GetParam().Spoil(Folder(), Runtime.Path.string());
    EXPECT_TRUE(VirtualPorts::List().empty());
}

INSTANTIATE_TEST_SUITE_P(Folders, VirtualPortsUnsafeFolder, testing::ValuesIn(kUnsafeFolders),
                         [](const testing::TestParamInfo<FolderCase>& Case) { return Case.param.Name; });

} // namespace
