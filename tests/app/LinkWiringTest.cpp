// The window's side of the serial link, on pseudo-terminals: opening, failing to open, and the teardown.
#include "FormFixture.h"

#include "app/WindowLook.h"
#include "link/COMConnector.h"
#include "link/IOUnit.h"
#include "platform/MemIniFile.h"

#include <poll.h>

namespace {

class LinkWiring : public FormFixture {
protected:
    void SetUp() override {
        FormFixture::SetUp();
        if (Port.SlavePath.empty()) {
            GTEST_SKIP() << "no pseudo-terminal available";
        }
        Ports->Entries = {{"rvk", QString::fromStdString(Port.SlavePath)}};
    }

    // Ends the run's I/O thread as the end of a run does, so that the teardown need not wait for it.
    void StopIOThread(TFormProgFrm& form) {
        if (form.IOThread) {
            form.IOThread->Stop();
            ASSERT_TRUE(WaitUntil(
                [&] { return WaitForSingleObject(form.IOThread->StoppedEvent(), 0) == WAIT_OBJECT_0; }));
        }
    }

    // True once the slave side of the pty is closed by everyone (the master then reads a hang-up).
    bool SlaveClosed() const {
        pollfd fd{Port.Master, POLLIN, 0};
        return ::poll(&fd, 1, 0) == 1 && (fd.revents & POLLHUP);
    }

    Pty Port;
};

TEST_F(LinkWiring, OpeningStartsAnIOThreadAndShowsTheInstructionWindow) {
    TFormProgFrm& form = Open();
    ASSERT_TRUE(ShowMsgFrm->isHidden());
    ShowMsgFrm->setWindowTitle(QStringLiteral("stale caption"));
    form.Connector->SetPortName(Port.SlavePath);
    ASSERT_TRUE(WaitUntil([&] { return form.IOThread != nullptr && ShowMsgFrm->isVisible(); }));
    EXPECT_EQ(ShowMsgFrm->windowTitle(), "RVK-318 Pagewright");
    EXPECT_EQ(form.ComboBox1Color(), ButtonFaceColor());
    EXPECT_FALSE(form.IOThread->Suspended());
    StopIOThread(form);
}

TEST_F(LinkWiring, PortThatCannotBeOpenedTurnsTheBoxRedUntilItOpens) {
    TFormProgFrm& form = Open();
    const std::string name = Dir.File("rvk-later");
    form.Connector->SetPortName(name);
    ASSERT_TRUE(WaitUntil([&] { return form.ComboBox1Color() == QColor(Qt::red); }));
    EXPECT_EQ(form.IOThread, nullptr);
    EXPECT_TRUE(ShowMsgFrm->isHidden());

    // The port appears: the next attempt opens it.
    std::filesystem::create_symlink(Port.SlavePath, name);
    ASSERT_TRUE(WaitUntil([&] { return form.IOThread != nullptr; }));
    EXPECT_EQ(form.ComboBox1Color(), ButtonFaceColor());
    EXPECT_TRUE(ShowMsgFrm->isVisible());
    StopIOThread(form);
}

TEST_F(LinkWiring, NoRedWhileNoPortIsWanted) {
    TFormProgFrm& form = Open();
    form.PortOpenFailed(form.Connector); // an attempt reported with the name cleared
    EXPECT_EQ(form.ComboBox1Color(), ButtonFaceColor());
}

TEST_F(LinkWiring, SecondOpeningReplacesTheStoppedIOThread) {
    TFormProgFrm& form = Open();
    form.Connector->SetPortName(Port.SlavePath);
    ASSERT_TRUE(WaitUntil([&] { return form.IOThread != nullptr; }));
    // Handles are never reused, so the stop event tells the thread objects apart (addresses may be).
    const HANDLE firstStopped = form.IOThread->StoppedEvent();
    form.IOThread->Stop();
    ASSERT_TRUE(WaitUntil([&] { return WaitForSingleObject(firstStopped, 0) == WAIT_OBJECT_0; }));
    ShowMsgFrm->hide();
    form.Connector->SetPortName("");
    ASSERT_TRUE(WaitUntil([&] { return form.Connector->PortHandle() == INVALID_HANDLE_VALUE; }));
    ASSERT_NE(form.IOThread, nullptr) << "a stopped I/O thread stays until the next opening";
    EXPECT_EQ(form.IOThread->StoppedEvent(), firstStopped);

    form.Connector->SetPortName(Port.SlavePath);
    ASSERT_TRUE(WaitUntil([&] { return form.IOThread->StoppedEvent() != firstStopped; }));
    EXPECT_TRUE(ShowMsgFrm->isVisible()) << "shown again at every opening";
    EXPECT_FALSE(form.IOThread->Suspended());
    StopIOThread(form);
}

TEST_F(LinkWiring, ClosingTheWindowDuringARunTakesTheLinkDownBeforeSavingSettings) {
    TFormProgFrm& form = Open();
    form.Connector->SetPortName(Port.SlavePath);
    ASSERT_TRUE(WaitUntil([&] { return form.IOThread != nullptr; }));
    ASSERT_FALSE(SlaveClosed());
    Close(); // waits for the running I/O thread, then closes the port
    EXPECT_TRUE(SlaveClosed());
    EXPECT_EQ(TMemIniFile(SettingsFile()).ReadInteger("Common", "PortIndex", 99), 0);
    EXPECT_TRUE(Answerer.Boxes.empty());
}

TEST_F(LinkWiring, ClosingTheWindowWhenNoPortWasOpenedHasNoIOThreadToWaitFor) {
    TFormProgFrm& form = Open();
    EXPECT_EQ(form.IOThread, nullptr);
    Close();
    EXPECT_TRUE(std::filesystem::exists(SettingsFile()));
    EXPECT_TRUE(Answerer.Boxes.empty());
}

TEST_F(LinkWiring, InstructionWindowIsCreatedWhenMissing) {
    TFormProgFrm& form = Open();
    delete ShowMsgFrm;
    ASSERT_EQ(ShowMsgFrm, nullptr);
    form.Connector->SetPortName(Port.SlavePath);
    ASSERT_TRUE(WaitUntil([&] { return ShowMsgFrm != nullptr && ShowMsgFrm->isVisible(); }));
    EXPECT_EQ(ShowMsgFrm->parentWidget(), &form);
    StopIOThread(form);
    Close();
    EXPECT_EQ(ShowMsgFrm, nullptr) << "it went with its owner";
}

} // namespace
