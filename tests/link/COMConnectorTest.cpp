// TComConnector against pseudo-terminals: open attempts, line settings, name changes, shutdown.
#include "LinkTestSupport.h"

#include "link/COMConnector.h"
#include "platform/TThread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace LinkTest;

namespace {

class ConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ThreadSync::SetMainThread();
        Connector = std::make_unique<TComConnector>(true);
        Connector->OnOpen = [this](TThread* sender) { Record("Open", sender); };
        Connector->OnOpenFailed = [this](TThread* sender) { Record("OpenFailed", sender); };
        Connector->OnClose = [this](TThread* sender) { Record("Close", sender); };
        Connector->OnDsrOn = [this](TThread* sender) { Record("DsrOn", sender); };
        Connector->OnDsrOff = [this](TThread* sender) { Record("DsrOff", sender); };
    }

    void TearDown() override {
        if (Connector) {
            Connector->Shutdown();
            Connector->WaitFor();
            Connector.reset();
        }
        EXPECT_TRUE(HooksOnMainThread) << "a hook ran outside the main thread";
        EXPECT_TRUE(SenderWasConnector) << "a hook got another Sender";
    }

    void Record(const std::string& hook, TThread* sender) {
        Log.push_back(hook);
        HooksOnMainThread = HooksOnMainThread && ThreadSync::IsMainThread();
        SenderWasConnector = SenderWasConnector && sender == Connector.get();
    }

    int Count(const std::string& hook) const {
        int n = 0;
        for (const auto& entry : Log)
            n += entry == hook ? 1 : 0;
        return n;
    }

    // Opens `pty` and lets the connector settle: its line check has run and its watch is pending.
    void OpenAndSettle(const PtyPair& pty) {
        Connector->SetPortName(pty.SlavePath());
        ASSERT_TRUE(PumpUntil([&] { return Count("Open") == 1; })) << "port never opened";
        ASSERT_TRUE(PumpUntilQuiet());
    }

    std::unique_ptr<TComConnector> Connector;
    std::vector<std::string> Log;
    bool HooksOnMainThread = true;
    bool SenderWasConnector = true;
};

using Hooks = std::vector<std::string>;

TEST_F(ConnectorTest, OpensOnceWithTheInstrumentsLineSettings) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    Connector->Resume();
    OpenAndSettle(pty);

    EXPECT_EQ(Log, (Hooks{"Open"}));
    EXPECT_NE(Connector->PortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Connector->DsrActive()) << "a pseudo-terminal has no DSR line";

    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_EQ(cfgetispeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & PARENB, 0u);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
}

TEST_F(ConnectorTest, SameNameAgainChangesNothing) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    Connector->Resume();
    OpenAndSettle(pty);
    const HANDLE port = Connector->PortHandle();

    Connector->SetPortName(pty.SlavePath());
    ASSERT_TRUE(PumpUntilQuiet(500ms));

    EXPECT_EQ(Log, (Hooks{"Open"}));
    EXPECT_EQ(Connector->PortHandle(), port);
}

TEST_F(ConnectorTest, NewNameClosesTheOldPortBeforeOpeningTheNew) {
    PtyPair first;
    PtyPair second;
    ASSERT_TRUE(first.Ok() && second.Ok());
    Connector->Resume();
    OpenAndSettle(first);

    Connector->SetPortName(second.SlavePath());
    ASSERT_TRUE(PumpUntil([&] { return Count("Open") == 2; }));

    EXPECT_EQ(Log, (Hooks{"Open", "Close", "Open"}));
    EXPECT_TRUE(first.WaitHangUp(2s)) << "the old port is still open";
    EXPECT_EQ(Connector->PortName(), second.SlavePath());
}

TEST_F(ConnectorTest, ClearedNameClosesThePortAndOpensNothing) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    Connector->Resume();
    OpenAndSettle(pty);

    Connector->SetPortName("");
    ASSERT_TRUE(PumpUntil([&] { return Count("Close") == 1; }));
    // The empty-name attempts that follow every 100 ms call no hook.
    PumpFor(500ms);

    EXPECT_EQ(Log, (Hooks{"Open", "Close"}));
    EXPECT_EQ(Connector->PortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(pty.WaitHangUp(2s));
}

TEST_F(ConnectorTest, NameThatBecomesOpenableOpensOnALaterAttempt) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    Connector->Resume();
    Connector->SetPortName("/dev/pagewright-no-such-port");
    ASSERT_TRUE(PumpUntil([&] { return Count("OpenFailed") >= 2; }));

    Connector->SetPortName(pty.SlavePath());
    ASSERT_TRUE(PumpUntil([&] { return Count("Open") == 1; }));
    EXPECT_EQ(Count("Close"), 0);
    EXPECT_NE(Connector->PortHandle(), INVALID_HANDLE_VALUE);
}

TEST_F(ConnectorTest, ShutdownWhileOpenClosesThePortAndReturnsStopValue) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    Connector->Resume();
    OpenAndSettle(pty);

    Connector->Shutdown();
    EXPECT_EQ(Connector->WaitFor(), TComConnector::kStoppedReturnValue);

    EXPECT_EQ(Log, (Hooks{"Open", "Close"}));
    EXPECT_EQ(Connector->PortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(pty.WaitHangUp(2s));
}

TEST_F(ConnectorTest, ShutdownBeforeResumeEndsWithoutAnyPortStep) {
    Connector->SetPortName("/dev/pagewright-no-such-port");
    Connector->Shutdown();
    Connector->WaitFor();

    EXPECT_TRUE(Connector->Finished());
    EXPECT_TRUE(Log.empty());
}

// Destroying a connector whose thread still runs ends the thread without a hook and releases the port.
TEST_F(ConnectorTest, DestroyingARunningConnectorReleasesThePortSilently) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    Connector->Resume();
    OpenAndSettle(pty);

    Connector.reset();

    EXPECT_EQ(Log, (Hooks{"Open"}));
    EXPECT_TRUE(pty.WaitHangUp(2s));
    const HANDLE again = OpenTestPort(pty.SlavePath());
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "the port is still held";
    CloseHandle(again);
}

// The instrument's end goes away while the port is open: the connector keeps the port (only a new name
// or Shutdown closes it) and sleeps; it neither spins nor floods the main thread with line checks.
TEST_F(ConnectorTest, OtherEndGoneWhileOpenCostsNoCpu) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    Connector->Resume();
    OpenAndSettle(pty);

    pty.CloseMaster();
    int served = 0;
    const double cpuBefore = ProcessCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    const auto end = wallBefore + 1500ms;
    while (std::chrono::steady_clock::now() < end)
        served += ThreadSync::CheckSynchronize(5ms) ? 1 : 0;
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();

    EXPECT_LT(cpu, 0.2 * wall) << "a thread spins: " << cpu << " s of CPU in " << wall << " s";
    // At most one line check per retry pause (about 15 here); a spinning connector makes thousands.
    EXPECT_LT(served, 100) << "line checks flood the main thread";

    Connector->Shutdown();
    EXPECT_EQ(Connector->WaitFor(), TComConnector::kStoppedReturnValue);
    EXPECT_EQ(Log, (Hooks{"Open", "Close"}));
}

// Names the connector cannot open: each attempt reports OnOpenFailed and the attempts go on.
struct UnopenableCase {
    const char* Name;
    enum { Missing, NotATerminal, InUse } Kind;
};

const UnopenableCase kUnopenableCases[] = {
    {"Missing", UnopenableCase::Missing},
    {"NotATerminal", UnopenableCase::NotATerminal},
    {"InUse", UnopenableCase::InUse},
};

class UnopenableNameTest : public ConnectorTest, public ::testing::WithParamInterface<UnopenableCase> {
protected:
    void TearDown() override {
        ConnectorTest::TearDown();
        if (Holder != INVALID_HANDLE_VALUE)
            CloseHandle(Holder);
        if (!TempFile.empty())
            unlink(TempFile.c_str());
    }

    std::string MakeName() {
        switch (GetParam().Kind) {
        case UnopenableCase::Missing:
            return "/dev/pagewright-no-such-port";
        case UnopenableCase::NotATerminal: {
            char path[] = "/tmp/pw-not-a-port-XXXXXX";
            const int fd = mkstemp(path);
            if (fd >= 0)
                close(fd);
            TempFile = path;
            return TempFile;
        }
        case UnopenableCase::InUse:
            Holder = OpenTestPort(Pty.SlavePath());
            return Pty.SlavePath();
        }
        return {};
    }

    PtyPair Pty;
    HANDLE Holder = INVALID_HANDLE_VALUE;
    std::string TempFile;
};

TEST_P(UnopenableNameTest, EveryAttemptFailsAndTheAttemptsGoOn) {
    ASSERT_TRUE(Pty.Ok());
    const std::string name = MakeName();
    if (GetParam().Kind == UnopenableCase::InUse) {
        ASSERT_NE(Holder, INVALID_HANDLE_VALUE);
    }
    Connector->Resume();
    Connector->SetPortName(name);

    ASSERT_TRUE(PumpUntil([&] { return Count("OpenFailed") >= 4; }));

    EXPECT_EQ(Count("Open"), 0);
    EXPECT_EQ(Count("Close"), 0) << "no port was open, so nothing was closed";
    EXPECT_EQ(Connector->PortHandle(), INVALID_HANDLE_VALUE);
}

INSTANTIATE_TEST_SUITE_P(Names, UnopenableNameTest, ::testing::ValuesIn(kUnopenableCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.Name); });

} // namespace
