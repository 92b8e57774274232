// The fixture of the end-to-end tests: an update file, the simulated instrument on a virtual port, and the
// real main window, all in a temporary folder that also serves as the runtime folder of the virtual ports.
#pragma once

#include "E2eSupport.h"

#include "app/ProgForm.h"
#include "app/ShowMsg.h"
#include "link/COMConnector.h"
#include "link/IOUnit.h"
#include "package/UpdateFileWriter.h"

#include <gtest/gtest.h>

#include <memory>

namespace e2e {

// Texts of the boxes, as the user reads them.
inline const QString kConfirmStart =
    "Command of software updating is entered. Switch off \npower supply of the device and check cable "
    "connection.\nAfter that push the button 'Yes'. Cancellation of updating \nis made by a depressing the "
    "button 'No'.";
inline const QString kHardwareQuestion = "The hardware version of the instrument is incompatible with "
                                         "updating!\nTo disable check of the hardware version?";
inline const QString kSoftwareQuestion =
    "The current program version of the device is not completely\n"
    "compatible with updating! To disable warning about incompatibility?";
inline const QString kHardwareRefused = "Device's hardware version is incompatible with the loading file!";
inline const QString kSoftwareRefused = "Device's program version is incompatible with the loading file!";
inline const QString kDefective = "It is not possible to make programming!\nThe device is defective. ";
inline const QString kIncomplete =
    "Program loading into device is made not completely!\nIt is necessary to repeat programming.\n";
inline const QString kCompleteSoftwareOff =
    "Loading is successfully completed! However the loaded\nsoftware has not been completely compatible "
    "with\nprevious version. Execute check of device operation.";
inline const QString kComplete = "Loading is successfully completed! Disconnect \npower supply of the "
                                 "instrument for 10-20 seconds,\nthen again switch on. Execute check of "
                                 "operation \nof the device.";
inline const QString kTitle = "RVK-318 Pagewright";
inline const QColor kGreen(0, 128, 0);
inline const QColor kYellow(255, 255, 0);

struct ExpectedBox {
    BoxKind Kind;
    QString Text;
};

inline ExpectedBox Question(const QString& text) {
    return {BoxKind::Question, text};
}
inline ExpectedBox Notice(const QString& text) {
    return {BoxKind::Notice, text};
}

inline void PrintTo(const SeenBox& box, std::ostream* out) {
    *out << (box.Kind == BoxKind::Question ? "question" : "notice") << " \"" << box.Title.toStdString()
         << "\": \"" << box.Text.toStdString() << '"';
}

inline bool operator==(const SeenBox& seen, const ExpectedBox& expected) {
    return seen.Kind == expected.Kind && seen.Title == kTitle && seen.Text == expected.Text;
}

class E2eFixture : public testing::Test {
protected:
    static constexpr auto kLimit = std::chrono::milliseconds(30000); // keeps a failing test from hanging

    void SetUp() override {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) {
            OldRuntimeDir = old;
        }
        // The simulator publishes its port under the runtime folder: this test's own.
        ::setenv("XDG_RUNTIME_DIR", Dir.Path.c_str(), 1);
        TFormProgFrm::SetSettingsPath(QString::fromStdString(SettingsFile()));
        TFormProgFrm::SetPortSource(Ports);
        Layout.PageCount = 16;
        Layout.PageRecordSize = 72; // 64 data bytes a page
        Layout.HwMajor = 2;
        Layout.HwMinor = 1000;
        Layout.HwRevisions = {5, 7};
        Layout.SwVersions = {0x1A05, 0x1A06};
    }

    void TearDown() override {
        Form.reset();
        delete ShowMsgFrm;
        Sim.reset();
        TFormProgFrm::SetSettingsPath(QString());
        TFormProgFrm::SetPortSource(nullptr);
        if (OldRuntimeDir) {
            ::setenv("XDG_RUNTIME_DIR", OldRuntimeDir->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }

    std::string SettingsFile() const { return Dir.File("pagewright.ini"); }
    std::string UpdateFile() const { return Dir.File("rvk.fwu"); }
    std::string ReportFile() const { return Dir.File("report.json"); }
    std::string SimLog() const { return Dir.File("sim.log"); }
    std::string PortLink() const { return (Dir.Path / "serialcomm" / "rvk").string(); }

    // Starts the simulator on the update file; `once` ends it after its first run. Options given in
    // `extra` take the place of the quick defaults (1 Mbaud, 100 ms power-on delay).
    void StartSim(std::vector<std::string> extra, bool once = true) {
        WriteUpdateFile(UpdateFile(), Layout);
        std::vector<std::string> args{"--file",   UpdateFile(), "--port", "rvk",
                                      "--report", ReportFile(), "--quiet"};
        const auto given = [&](const char* option) {
            return std::find(extra.begin(), extra.end(), option) != extra.end();
        };
        if (!given("--baud")) {
            args.insert(args.end(), {"--baud", "1000000"});
        }
        if (!given("--power-on-delay")) {
            args.insert(args.end(), {"--power-on-delay", "100"});
        }
        if (once) {
            args.push_back("--once");
        }
        args.insert(args.end(), extra.begin(), extra.end());
        Sim = std::make_unique<SimProcess>(args, SimLog());
        ASSERT_TRUE(Sim->Started());
        ASSERT_TRUE(
            WaitUntil([&] { return std::filesystem::exists(PortLink()) || !Sim->Running(); }, kLimit));
        ASSERT_TRUE(std::filesystem::exists(PortLink())) << ReadWhole(SimLog());
    }

    // Builds and shows the main window as the program starts, with the simulator's port as the only
    // one in the list and chosen, and the update file named in the settings unless `withFile` is false.
    TFormProgFrm& OpenWindow(bool withFile = true) {
        WriteText(SettingsFile(),
                  "[Common]\nPortIndex=0\n" + (withFile ? "FileName=" + UpdateFile() + "\n" : std::string()));
        Ports->Entries = {{QStringLiteral("rvk"), QString::fromStdString(PortLink())}};
        Form = std::make_unique<TFormProgFrm>();
        ShowMsgFrm = new TShowMsgFrm(nullptr);
        Form->show();
        QCoreApplication::processEvents();
        return *Form;
    }

    void PressButton() { Form->BitBtn1->click(); }

    bool Idle() const { return Form->BitBtn1->Action() == Form->ActionStart; }
    bool PortClosed() const { return Form->Connector->PortHandle() == INVALID_HANDLE_VALUE; }

    // Waits until `boxes` boxes have been answered, the button shows Start and the connector has
    // closed the port.
    bool WaitForRunEnd(std::size_t boxes) {
        return WaitUntil([&] { return Answerer.Boxes.size() >= boxes && Idle() && PortClosed(); }, kLimit);
    }

    // One run from Start to its end, for runs that end by themselves: the confirmation answered Yes,
    // then `answers`; the report is removed first so that the one read afterwards is this run's.
    void RunToEnd(const std::vector<bool>& answers, std::size_t boxes) {
        std::filesystem::remove(ReportFile());
        Answerer.Boxes.clear();
        Answerer.Answers = {true};
        Answerer.Answers.insert(Answerer.Answers.end(), answers.begin(), answers.end());
        PressButton();
        ASSERT_TRUE(WaitForRunEnd(boxes)) << BoxesSeen();
    }

    bool WaitForReport() {
        return WaitUntil([&] { return std::filesystem::exists(ReportFile()); }, kLimit);
    }

    std::string BoxesSeen() const {
        std::string text = "boxes seen:";
        for (const SeenBox& box : Answerer.Boxes) {
            text += "\n  " + box.Text.toStdString();
        }
        return text;
    }

    void ExpectBoxes(const std::vector<ExpectedBox>& expected) const {
        ASSERT_EQ(Answerer.Boxes.size(), expected.size()) << BoxesSeen();
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(Answerer.Boxes[i], expected[i]) << "box " << i;
        }
    }

    TempDir Dir;
    std::optional<std::string> OldRuntimeDir;
    UpdateFileLayout Layout;
    std::shared_ptr<FakePortSource> Ports = std::make_shared<FakePortSource>();
    ScriptedAnswerer Answerer;
    std::unique_ptr<SimProcess> Sim;
    std::unique_ptr<TFormProgFrm> Form;
};

} // namespace e2e
