// Update runs end to end: the real main window against the simulated instrument on a virtual port, every
// outcome of a run, and the instrument's misbehaviour.
#include "E2eFixture.h"

#include "app/WindowLook.h"

namespace e2e {
namespace {

// How a row's run comes to its end.
enum class Ending {
    ByItself,        // the run ends through the instrument's frames and the answers
    StopWhenWaiting, // Stop once the port is open and the instruction window shown
    StopWhenSimEnds, // Stop once the simulator has ended (it hung up or gave up)
    StopAtProgress,  // Stop once the progress bar reached `At` (and, with MeasureCpu, after a calm wait)
    CloseWindowAtProgress, // close the main window once the progress bar reached `At`
};

// What happens to the update file after Start has loaded it.
enum class FileChange { None, Delete, Replace };

struct Scenario {
    const char* Name;
    std::vector<std::string> SimArgs{};
    std::vector<bool> Answers{};      // to the questions after the confirmation (which gets Yes)
    std::vector<ExpectedBox> Boxes{}; // after the confirmation
    Ending End = Ending::ByItself;
    int At = 0;
    int PagesCorrect = 0; // pages the simulator got right; -1: not known in advance
    int SimExit = 1;      // 0 only for a run that completed byte-exact
    bool Label4 = false;
    bool Label8 = false;
    QString Label1 = "Updating progress:";
    bool LoadFile = true; // false: no file in the settings, and the file dialog is cancelled
    FileChange Change = FileChange::None;
    bool CheckIndicator = true; // every request the simulator sent reached the program intact
    bool MeasureCpu = false;
    std::uint16_t Pages = 16;
    int ThinkMs = 0; // how long each message box stays up before it is answered
};

void PrintTo(const Scenario& row, std::ostream* out) {
    *out << row.Name;
}

const Scenario kRuns[] = {
    {.Name = "Complete", .Boxes = {Notice(kComplete)}, .PagesCorrect = 16, .SimExit = 0},
    {.Name = "PageFlagsAnsweredUnchanged",
     .SimArgs = {"--page-flags", "9"},
     .Boxes = {Notice(kComplete)},
     .PagesCorrect = 16,
     .SimExit = 0},
    {.Name = "StopBeforeTheInstrumentSendsAnything",
     .SimArgs = {"--power-on-delay", "60000"},
     .Boxes = {Notice(kIncomplete)},
     .End = Ending::StopWhenWaiting,
     .Label1 = "Update Progress:"},
    {.Name = "HardwareCheckFailedYes",
     .SimArgs = {"--hw-minor", "999"},
     .Answers = {true},
     .Boxes = {Question(kHardwareQuestion), Notice(kIncomplete)},
     .Label4 = true},
    {.Name = "HardwareCheckFailedYesSoftwareStillChecked",
     .SimArgs = {"--hw-revision", "6", "--sw-version", "0x2000"},
     .Answers = {true, false},
     .Boxes = {Question(kHardwareQuestion), Question(kSoftwareQuestion), Notice(kSoftwareRefused),
               Notice(kIncomplete)},
     .Label4 = true},
    {.Name = "HardwareCheckFailedNoSoftwareNotAsked",
     .SimArgs = {"--hw-major", "3", "--sw-version", "0x2000"},
     .Answers = {false},
     .Boxes = {Question(kHardwareQuestion), Notice(kHardwareRefused), Notice(kIncomplete)}},
    {.Name = "SoftwareCheckFailedYes",
     .SimArgs = {"--sw-version", "0x1A07"},
     .Answers = {true},
     .Boxes = {Question(kSoftwareQuestion), Notice(kIncomplete)},
     .Label8 = true},
    {.Name = "SoftwareCheckFailedNo",
     .SimArgs = {"--sw-version", "0x1A07"},
     .Answers = {false},
     .Boxes = {Question(kSoftwareQuestion), Notice(kSoftwareRefused), Notice(kIncomplete)}},
    {.Name = "BothChecksFailedBothYes",
     .SimArgs = {"--hw-minor", "1001", "--sw-version", "0x0001"},
     .Answers = {true, true},
     .Boxes = {Question(kHardwareQuestion), Question(kSoftwareQuestion), Notice(kIncomplete)},
     .Label4 = true,
     .Label8 = true},
    {.Name = "PageNumberPastTheEndMidRun",
     .SimArgs = {"--bad-page-at", "5"},
     .Boxes = {Notice("Incorrect page number: 16"), Notice(kIncomplete)},
     .PagesCorrect = 5},
    {.Name = "DefectReport",
     .SimArgs = {"--defective-after", "3"},
     .Boxes = {Notice(kIncomplete), Notice(kDefective), Notice(kIncomplete)},
     .PagesCorrect = 4,
     .ThinkMs = 600},
    {.Name = "LoadingModeAsksNothing",
     .SimArgs = {"--loading", "--hw-minor", "1", "--hw-revision", "9", "--sw-version", "0x0001"},
     .Boxes = {Notice(kComplete)},
     .PagesCorrect = 16,
     .SimExit = 0,
     .Label1 = "Loading progress:"},
    {.Name = "NoUpdateFileOnlyTogglesTheIndicator",
     .SimArgs = {"--timeout", "100", "--max-retries", "4"},
     .Boxes = {Notice(kIncomplete)},
     .End = Ending::StopWhenSimEnds,
     .Label1 = "Update Progress:",
     .LoadFile = false},
    {.Name = "NoiseAndBrokenFrames",
     .SimArgs = {"--noise", "24", "--broken-check", "5", "--timeout", "200"},
     .Boxes = {Notice(kComplete)},
     .PagesCorrect = 16,
     .SimExit = 0,
     .CheckIndicator = false},
    {.Name = "InstrumentHangsUpMidRun",
     .SimArgs = {"--hangup-after", "4"},
     .Boxes = {Notice(kIncomplete)},
     .End = Ending::StopWhenSimEnds,
     .PagesCorrect = 5,
     .MeasureCpu = true},
};

// The instrument's faults: the program keeps its calm, and every run ends as documented with the port
// closed.
const Scenario kFaults[] = {
    {.Name = "InstrumentGoesSilent",
     .SimArgs = {"--silent-after", "4"},
     .Boxes = {Notice(kIncomplete)},
     .End = Ending::StopAtProgress,
     .At = 4,
     .PagesCorrect = 5,
     .MeasureCpu = true},
    {.Name = "InstrumentBabblesThenCompletes",
     .SimArgs = {"--noise", "400", "--seed", "7"},
     .Boxes = {Notice(kComplete)},
     .PagesCorrect = -1,
     .SimExit = 0,
     .CheckIndicator = false,
     .Pages = 64},
    {.Name = "FrameOfUnknownType",
     .SimArgs = {"--unknown-type-at", "3"},
     .Boxes = {Notice(kComplete)},
     .PagesCorrect = 16,
     .SimExit = 0},
    {.Name = "FirstRequestPastTheEnd",
     .SimArgs = {"--bad-page-at", "0"},
     .Boxes = {Notice("Incorrect page number: 16"), Notice(kIncomplete)},
     .Label1 = "Update Progress:"},
    {.Name = "UpdateFileDeletedAfterStart",
     .SimArgs = {"--power-on-delay", "800"},
     .Boxes = {Notice(kComplete)},
     .PagesCorrect = 16,
     .SimExit = 0,
     .Change = FileChange::Delete},
    {.Name = "UpdateFileReplacedAfterStart",
     .SimArgs = {"--power-on-delay", "800"},
     .Boxes = {Notice(kComplete)},
     .PagesCorrect = 16,
     .SimExit = 0,
     .Change = FileChange::Replace},
    {.Name = "SwitchedOffAndOnMidRun",
     .SimArgs = {"--power-cycle-at", "5", "--power-off-ms", "300"},
     .Boxes = {Notice(kComplete)},
     .PagesCorrect = 16 + 6,
     .SimExit = 0},
    {.Name = "WindowClosedMidRun",
     .Boxes = {},
     .End = Ending::CloseWindowAtProgress,
     .At = 3,
     .PagesCorrect = -1,
     .CheckIndicator = false,
     .Pages = 256},
};

class UpdateRun : public E2eFixture, public testing::WithParamInterface<Scenario> {};

TEST_P(UpdateRun, EndsAsDocumented) {
    const Scenario& row = GetParam();
    Layout.PageCount = row.Pages;
    ASSERT_NO_FATAL_FAILURE(StartSim(row.SimArgs));
    TFormProgFrm& form = OpenWindow(row.LoadFile);
    LivenessProbe probe;
    Answerer.ThinkTime = std::chrono::milliseconds(row.ThinkMs);

    Answerer.Answers = {true};
    Answerer.Answers.insert(Answerer.Answers.end(), row.Answers.begin(), row.Answers.end());
    PressButton();
    ASSERT_FALSE(Idle()) << "Start answered Yes with a port chosen puts Stop on the button";
    if (row.Change == FileChange::Delete) {
        std::filesystem::remove(UpdateFile());
    } else if (row.Change == FileChange::Replace) {
        WriteText(UpdateFile(), "not an update file");
    }

    double cpuShare = 0;
    switch (row.End) {
    case Ending::ByItself:
        break;
    case Ending::StopWhenWaiting:
        ASSERT_TRUE(WaitUntil([&] { return form.IOThread && ShowMsgFrm->isVisible(); }, kLimit));
        PressButton();
        break;
    case Ending::StopWhenSimEnds:
        ASSERT_TRUE(WaitUntil([&] { return !Sim->Running(); }, kLimit));
        if (row.MeasureCpu) {
            cpuShare = CpuShareWhileServing(2000ms);
        }
        ASSERT_FALSE(Idle()) << BoxesSeen();
        PressButton();
        break;
    case Ending::StopAtProgress:
        ASSERT_TRUE(WaitUntil([&] { return form.ProgressBar1->Position() >= row.At; }, kLimit));
        if (row.MeasureCpu) {
            cpuShare = CpuShareWhileServing(2000ms);
        }
        ASSERT_FALSE(Idle()) << BoxesSeen();
        PressButton();
        break;
    case Ending::CloseWindowAtProgress: {
        ASSERT_TRUE(WaitUntil([&] { return form.ProgressBar1->Position() >= row.At; }, kLimit));
        ASSERT_FALSE(Idle());
        probe.Stop(); // the teardown waits for the running I/O thread without serving messages
        QElapsedTimer teardown;
        teardown.start();
        form.close();
        Form.reset();
        RecordProperty("teardown_ms", static_cast<int>(teardown.elapsed()));
        // The port is closed: the simulator sees its run abandoned and ends.
        ASSERT_TRUE(WaitUntil([&] { return !Sim->Running(); }, kLimit));
        EXPECT_EQ(Sim->ExitStatus(), 1);
        EXPECT_EQ(JsonText(ReadWhole(ReportFile()), "outcome"), "abandoned") << ReadWhole(ReportFile());
        EXPECT_EQ(JsonNumber(ReadWhole(ReportFile()), "pages_wrong"), 0);
        EXPECT_TRUE(ReadText(SettingsFile()).find("FileName=" + UpdateFile()) != std::string::npos)
            << ReadText(SettingsFile());
        ExpectBoxes({Question(kConfirmStart)});
        return;
    }
    }

    ASSERT_TRUE(WaitForRunEnd(row.Boxes.size() + 1)) << BoxesSeen();
    std::vector<ExpectedBox> boxes{Question(kConfirmStart)};
    boxes.insert(boxes.end(), row.Boxes.begin(), row.Boxes.end());
    ExpectBoxes(boxes);
    EXPECT_EQ(form.BitBtn1->text(), "Start");
    EXPECT_EQ(form.Label4->isVisible(), row.Label4);
    EXPECT_EQ(form.Label8->isVisible(), row.Label8);
    EXPECT_EQ(form.HardwareCheckOff, row.Label4);
    EXPECT_EQ(form.SoftwareCheckOff, row.Label8);
    EXPECT_EQ(form.Label1->text(), row.Label1);
    EXPECT_TRUE(ShowMsgFrm->isHidden());
    EXPECT_EQ(Answerer.FileDialogs, row.LoadFile ? 0 : 1);
    EXPECT_LT(probe.LongestGapUntilNow(), 3000) << "the window stopped serving its messages";
    if (row.MeasureCpu) {
        EXPECT_LT(cpuShare, 0.05) << "the program works while it waits for the instrument";
        RecordProperty("waiting_cpu_permille", static_cast<int>(cpuShare * 1000));
    }

    ASSERT_TRUE(WaitUntil([&] { return !Sim->Running(); }, kLimit)) << ReadWhole(SimLog());
    EXPECT_EQ(Sim->ExitStatus(), row.SimExit) << ReadWhole(SimLog());
    const std::string report = ReadWhole(ReportFile());
    ASSERT_FALSE(report.empty()) << ReadWhole(SimLog());
    EXPECT_EQ(JsonNumber(report, "pages_wrong"), 0) << report;
    if (row.PagesCorrect >= 0) {
        EXPECT_EQ(JsonNumber(report, "pages_correct"), row.PagesCorrect) << report;
    }
    if (row.SimExit == 0) {
        EXPECT_EQ(form.ProgressBar1->Position(), row.Pages - 1);
    }
    if (row.CheckIndicator) {
        // Green at the start, one change of colour per page request.
        const int requests = static_cast<int>(JsonNumber(report, "requests"));
        EXPECT_EQ(form.Shape1->BrushColor(), requests % 2 == 0 ? kGreen : kYellow) << requests << " requests";
    }
}

std::string RowName(const testing::TestParamInfo<Scenario>& row) {
    return row.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Runs, UpdateRun, testing::ValuesIn(kRuns), RowName);
INSTANTIATE_TEST_SUITE_P(Faults, UpdateRun, testing::ValuesIn(kFaults), RowName);

// Runs that span several Starts of one window, against a simulator that serves one run per opening.
class UpdateRuns : public E2eFixture {};

TEST_F(UpdateRuns, SecondRunOnTheSameWindowCompletesToo) {
    ASSERT_NO_FATAL_FAILURE(StartSim({}, false));
    TFormProgFrm& form = OpenWindow();
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_NO_FATAL_FAILURE(RunToEnd({}, 2));
        ExpectBoxes({Question(kConfirmStart), Notice(kComplete)});
        ASSERT_TRUE(WaitForReport());
        const std::string report = ReadWhole(ReportFile());
        EXPECT_EQ(JsonText(report, "outcome"), "complete") << report;
        EXPECT_EQ(JsonNumber(report, "pages_correct"), 16);
        EXPECT_EQ(JsonNumber(report, "pages_wrong"), 0);
        EXPECT_EQ(form.ProgressBar1->Position(), 15);
    }
}

TEST_F(UpdateRuns, SoftwareOverrideHoldsForTheNextStartUntilAFileIsChosen) {
    ASSERT_NO_FATAL_FAILURE(StartSim({"--sw-version", "0x1A07"}, false));
    TFormProgFrm& form = OpenWindow();

    // A Yes switches the check off and ends this run without a page.
    ASSERT_NO_FATAL_FAILURE(RunToEnd({true}, 3));
    ExpectBoxes({Question(kConfirmStart), Question(kSoftwareQuestion), Notice(kIncomplete)});
    EXPECT_TRUE(form.Label8->isVisible());
    ASSERT_TRUE(WaitForReport());
    EXPECT_EQ(JsonNumber(ReadWhole(ReportFile()), "pages_correct"), 0);

    // The next Start with the same file skips the check and completes with the matching outcome.
    ASSERT_NO_FATAL_FAILURE(RunToEnd({}, 2));
    ExpectBoxes({Question(kConfirmStart), Notice(kCompleteSoftwareOff)});
    EXPECT_TRUE(form.Label8->isVisible());
    ASSERT_TRUE(WaitForReport());
    EXPECT_EQ(JsonNumber(ReadWhole(ReportFile()), "pages_correct"), 16);
    EXPECT_EQ(JsonNumber(ReadWhole(ReportFile()), "pages_wrong"), 0);

    // Choosing a file brings the check back: the next run asks again.
    Answerer.FileAnswers = {QString::fromStdString(UpdateFile())};
    form.SpeedButton1->click();
    EXPECT_EQ(Answerer.FileDialogs, 1);
    EXPECT_FALSE(form.Label8->isVisible());
    EXPECT_FALSE(form.SoftwareCheckOff);
    ASSERT_NO_FATAL_FAILURE(RunToEnd({false}, 4));
    ExpectBoxes({Question(kConfirmStart), Question(kSoftwareQuestion), Notice(kSoftwareRefused),
                 Notice(kIncomplete)});
}

TEST_F(UpdateRuns, HardwareOverrideHoldsForTheNextStart) {
    ASSERT_NO_FATAL_FAILURE(StartSim({"--hw-minor", "7"}, false));
    TFormProgFrm& form = OpenWindow();
    ASSERT_NO_FATAL_FAILURE(RunToEnd({true}, 3));
    ExpectBoxes({Question(kConfirmStart), Question(kHardwareQuestion), Notice(kIncomplete)});
    ASSERT_NO_FATAL_FAILURE(RunToEnd({}, 2));
    // The hardware switch has no outcome of its own.
    ExpectBoxes({Question(kConfirmStart), Notice(kComplete)});
    EXPECT_TRUE(form.Label4->isVisible());
    EXPECT_FALSE(form.Label8->isVisible());
}

TEST_F(UpdateRuns, RefusedFileAfterACompleteRunNeverReportsSuccess) {
    ASSERT_NO_FATAL_FAILURE(StartSim({}, false));
    TFormProgFrm& form = OpenWindow();
    ASSERT_NO_FATAL_FAILURE(RunToEnd({}, 2));
    ExpectBoxes({Question(kConfirmStart), Notice(kComplete)});
    ASSERT_EQ(form.ProgressBar1->Position(), 15);

    // The file is damaged before the next Start: the refusal is shown, the loaded package stays, and a
    // Stop before the instrument reported anything is no success, whatever the progress bar still shows.
    WriteText(UpdateFile(), "not an update file");
    Answerer.Boxes.clear();
    Answerer.Answers = {true};
    PressButton();
    ASSERT_FALSE(Idle());
    PressButton();
    ASSERT_TRUE(WaitForRunEnd(3)) << BoxesSeen();
    ASSERT_EQ(Answerer.Boxes.size(), 3u) << BoxesSeen();
    EXPECT_EQ(Answerer.Boxes[0].Kind, BoxKind::Notice) << "the refusal";
    EXPECT_EQ(Answerer.Boxes[1], Question(kConfirmStart));
    EXPECT_EQ(Answerer.Boxes[2], Notice(kIncomplete));
}

TEST_F(UpdateRuns, PortThatAppearsLaterTurnsTheBoxBackAndTheRunCompletes) {
    WriteUpdateFile(UpdateFile(), Layout);
    TFormProgFrm& form = OpenWindow(); // the instrument's port is listed but does not exist yet
    Answerer.Answers = {true};
    PressButton();
    ASSERT_TRUE(WaitUntil([&] { return form.ComboBox1Color() == QColor(Qt::red); }, kLimit));
    EXPECT_FALSE(Idle()) << "the run waits for the port";

    ASSERT_NO_FATAL_FAILURE(StartSim({}));
    ASSERT_TRUE(WaitForRunEnd(2)) << BoxesSeen();
    ExpectBoxes({Question(kConfirmStart), Notice(kComplete)});
    EXPECT_EQ(form.ComboBox1Color(), ButtonFaceColor());
    ASSERT_TRUE(WaitUntil([&] { return !Sim->Running(); }, kLimit));
    EXPECT_EQ(Sim->ExitStatus(), 0) << ReadWhole(SimLog());
}

TEST_F(UpdateRuns, NextStartAfterAHangUpOpensTheInstrumentsNewPort) {
    // Without --once the simulator publishes a new port under the same name after hanging up.
    ASSERT_NO_FATAL_FAILURE(StartSim({"--hangup-after", "4"}, false));
    TFormProgFrm& form = OpenWindow();
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        std::filesystem::remove(ReportFile());
        Answerer.Boxes.clear();
        Answerer.Answers = {true};
        PressButton();
        ASSERT_TRUE(WaitForReport()) << "the simulator hung up";
        EXPECT_EQ(JsonText(ReadWhole(ReportFile()), "outcome"), "hung-up") << ReadWhole(ReportFile());
        EXPECT_EQ(JsonNumber(ReadWhole(ReportFile()), "pages_correct"), 5);
        EXPECT_EQ(form.ProgressBar1->Position(), 4);
        ASSERT_FALSE(Idle());
        PressButton();
        ASSERT_TRUE(WaitForRunEnd(2)) << BoxesSeen();
        ExpectBoxes({Question(kConfirmStart), Notice(kIncomplete)});
    }
}

} // namespace
} // namespace e2e
