// The main window: its state when it first shows, its settings, its port list and choosing update files.
#include "FormFixture.h"

#include "app/Application.h"
#include "app/WindowLook.h"
#include "package/UpdateFileWriter.h"
#include "platform/MemIniFile.h"

#include <QAbstractItemView>
#include <QGuiApplication>
#include <QScreen>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kTitle = QStringLiteral("RVK-318 Pagewright");
const QColor kGreen(0, 128, 0);

QStringList Items(const QListWidget* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) {
        items.append(list->item(i)->text());
    }
    return items;
}

QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) {
        items.append(box->itemText(i));
    }
    return items;
}

// The next control that the tab key reaches.
QWidget* NextTabStop(QWidget* from) {
    for (QWidget* next = from->nextInFocusChain(); next != from; next = next->nextInFocusChain()) {
        if ((next->focusPolicy() & Qt::TabFocus) && next->isEnabled() && next->isVisible()) {
            return next;
        }
    }
    return from;
}

using MainWindow = FormFixture;

TEST_F(MainWindow, FirstShowsWithTheDesignedCaptionsHintsAndState) {
    SetPorts(2);
    TFormProgFrm& form = Open();

    EXPECT_EQ(form.windowTitle(), kTitle);
    EXPECT_EQ(Application::Title(), kTitle);
    EXPECT_EQ(form.size(), QSize(512, 340));
    EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the frame is not resizable";
    EXPECT_FALSE(form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    EXPECT_EQ(form.Label11->text(), "Port:");
    EXPECT_EQ(form.Label3->text(), "File:");
    EXPECT_EQ(form.Label5->text(), "Compatible hardware versions:");
    EXPECT_EQ(form.Label6->text(), "Compatible software versions:");
    EXPECT_EQ(form.Label1->text(), "Update Progress:");
    EXPECT_EQ(form.Label4->text(), "Version check is cancelled");
    EXPECT_EQ(form.Label8->text(), "Version check is cancelled");
    EXPECT_TRUE(form.Label4->isHidden());
    EXPECT_TRUE(form.Label8->isHidden());
    EXPECT_EQ(form.Label4->palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_EQ(form.Label8->palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_EQ(form.SpeedButton1->text(), "...");
    EXPECT_EQ(form.BitBtn1->text(), "Start");
    EXPECT_EQ(form.BitBtn1->Action(), form.ActionStart);

    EXPECT_EQ(form.ComboBox1->toolTip(), "Communication port");
    EXPECT_EQ(form.FileNameEdit->toolTip(), "File of update");
    EXPECT_EQ(form.SpeedButton1->toolTip(), "Selecting of update file");
    EXPECT_EQ(form.CLMemo->toolTip(), "The list of compatibility on hardware versions");
    EXPECT_EQ(form.SCLMemo->toolTip(), "The list of compatibility on program versions");
    EXPECT_EQ(form.ProgressBar1->toolTip(), "Progress of updating");
    EXPECT_EQ(form.BitBtn1->toolTip(), "Start of software updating");
    EXPECT_EQ(form.PortNameCombo->toolTip(), "Communication port");

    EXPECT_EQ(form.ActionStart->Caption(), "Start");
    EXPECT_EQ(form.ActionStop->Caption(), "Stop");
    EXPECT_EQ(form.ActionInit->Caption(), "Init");
    EXPECT_EQ(form.OpenDialog1->windowTitle(), "Select the file");
    EXPECT_EQ(form.OpenDialog1->nameFilters(), QStringList{"Pagewright files (*.fwu)"});
    EXPECT_EQ(form.OpenDialog1->defaultSuffix(), "FWU");
    EXPECT_EQ(form.OpenDialog1->fileMode(), QFileDialog::ExistingFile);

    EXPECT_EQ(form.Shape1->BrushColor(), kGreen);
    EXPECT_EQ(form.Shape1->PenWidth(), 0);
    EXPECT_EQ(form.ProgressBar1->Position(), 0);
    EXPECT_EQ(form.ProgressBar1->Max(), 100);
    EXPECT_EQ(form.CLMemo->count(), 0);
    EXPECT_EQ(form.SCLMemo->count(), 0);
    EXPECT_TRUE(form.CLMemo->isSortingEnabled());
    EXPECT_TRUE(form.SCLMemo->isSortingEnabled());
    EXPECT_TRUE(form.FileNameEdit->isReadOnly());
    EXPECT_TRUE(form.FileNameEdit->text().isEmpty());
    EXPECT_EQ(form.ComboBox1Color(), ButtonFaceColor());
    EXPECT_TRUE(form.PortNameCombo->isHidden());
    EXPECT_EQ(form.Image1->Picture().size(), QSize(162, 276));

    EXPECT_EQ(form.Package.PageRecordSize, 0u);
    EXPECT_TRUE(form.Package.PageMap.empty());
    EXPECT_FALSE(form.HardwareCheckOff);
    EXPECT_FALSE(form.SoftwareCheckOff);
    EXPECT_NE(form.Connector, nullptr);
    EXPECT_EQ(form.IOThread, nullptr);
    ASSERT_NE(ShowMsgFrm, nullptr);
    EXPECT_TRUE(ShowMsgFrm->isHidden());
    EXPECT_TRUE(Answerer.Boxes.empty());

    // Tab order: port box, file name, the two lists, the button.
    EXPECT_EQ(NextTabStop(form.ComboBox1), form.FileNameEdit);
    EXPECT_EQ(NextTabStop(form.FileNameEdit), form.CLMemo);
    EXPECT_EQ(NextTabStop(form.CLMemo), form.SCLMemo);
    EXPECT_EQ(NextTabStop(form.SCLMemo), form.BitBtn1);
    EXPECT_EQ(NextTabStop(form.BitBtn1), form.ComboBox1);
}

TEST_F(MainWindow, IsCentredWhenFirstShown) {
    TFormProgFrm& form = Open();
    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_NEAR(form.frameGeometry().center().x(), centre.x(), 1);
    EXPECT_NEAR(form.frameGeometry().center().y(), centre.y(), 1);
}

struct PathCase {
    const char* Name;
    const char* Executable;
    const char* Settings;
};

class SettingsPath : public testing::TestWithParam<PathCase> {};

TEST_P(SettingsPath, IsTheExecutableWithTheExtensionIni) {
    EXPECT_EQ(TFormProgFrm::SettingsPathFor(QString::fromUtf8(GetParam().Executable)),
              QString::fromUtf8(GetParam().Settings));
}

const PathCase kPathCases[] = {
    {"NoExtension", "/opt/pw/pagewright", "/opt/pw/pagewright.ini"},
    {"Extension", "/opt/pw/pagewright.exe", "/opt/pw/pagewright.ini"},
    {"OnlyTheLastExtension", "/opt/pw/pagewright.1.bin", "/opt/pw/pagewright.1.ini"},
    {"DotInTheFolder", "/opt/pw.d/pagewright", "/opt/pw.d/pagewright.ini"},
    {"HiddenName", "/opt/pw/.pagewright", "/opt/pw/.pagewright.ini"},
};

INSTANTIATE_TEST_SUITE_P(Executables, SettingsPath, testing::ValuesIn(kPathCases),
                         [](const testing::TestParamInfo<PathCase>& Case) { return Case.param.Name; });

TEST(SettingsPlace, BesideAWritableExecutableElseInTheUsersConfigurationFolder) {
    TempDir dir;
    const QString config = QString::fromStdString(dir.File("config"));
    EXPECT_EQ(TFormProgFrm::SettingsPathFor(QString::fromStdString(dir.File("pagewright")), config),
              QString::fromStdString(dir.File("pagewright.ini")));
    // A folder the program cannot write (here: one that does not exist, which even root cannot write).
    EXPECT_EQ(TFormProgFrm::SettingsPathFor(QString::fromStdString(dir.File("missing/pagewright")), config),
              config + QStringLiteral("/pagewright/pagewright.ini"));
}

TEST(SettingsPathOfThisProgram, LiesBesideTheExecutable) {
    EXPECT_EQ(TFormProgFrm::SettingsPath(), QCoreApplication::applicationDirPath() + "/ProgFormTest.ini");
}

TEST_F(MainWindow, ActionsFollowTheirUpdateHandlersAndTheButtonFollowsItsAction) {
    TFormProgFrm& form = Open();
    form.ActionList1->UpdateActions();
    EXPECT_TRUE(form.ActionStart->Enabled());
    EXPECT_TRUE(form.ActionStop->Enabled()) << "enabled while the connector exists";
    EXPECT_FALSE(form.ActionInit->Enabled()) << "enabled only without a connector";

    // A run-time binding copies the action's (empty) hint: the designed hint is gone from then on.
    form.BitBtn1->SetAction(form.ActionStop);
    EXPECT_EQ(form.BitBtn1->text(), "Stop");
    EXPECT_TRUE(form.BitBtn1->toolTip().isEmpty());
    form.BitBtn1->SetAction(form.ActionStart);
    EXPECT_EQ(form.BitBtn1->text(), "Start");
    EXPECT_TRUE(form.BitBtn1->toolTip().isEmpty());
}

TEST_F(MainWindow, OverridesShowTheirLabels) {
    TFormProgFrm& form = Open();
    form.SetHardwareOverride(true);
    EXPECT_TRUE(form.HardwareCheckOff);
    EXPECT_FALSE(form.Label4->isHidden());
    EXPECT_TRUE(form.Label8->isHidden());
    form.SetSoftwareOverride(true);
    EXPECT_TRUE(form.SoftwareCheckOff);
    EXPECT_FALSE(form.Label8->isHidden());
    form.SetHardwareOverride(false);
    EXPECT_FALSE(form.HardwareCheckOff);
    EXPECT_TRUE(form.Label4->isHidden());
    EXPECT_FALSE(form.Label8->isHidden());
}

TEST_F(MainWindow, N2ClickClosesTheWindow) {
    TFormProgFrm& form = Open();
    form.N2Click(nullptr);
    EXPECT_FALSE(form.isVisible());
}

// Settings

struct SettingsCase {
    const char* Name;
    const char* FileText; // null: no settings file
    int Ports;
    int ExpectedIndex; // selection of the port box at start, and the index saved at exit
};

const SettingsCase kSettingsCases[] = {
    {"NoFileSelectsTheFirstPort", nullptr, 2, 0},
    {"NoFileAndNoPorts", nullptr, 0, -1},
    {"IndexWithinTheList", "[Common]\nPortIndex=2\n", 3, 2},
    {"LastDesignedIndex", "[Common]\nPortIndex=3\n", 8, 3},
    {"IndexFiveOfEightPorts", "[Common]\nPortIndex=5\n", 8, -1},
    {"IndexFourIsBeyondTheDesignedEntries", "[Common]\nPortIndex=4\n", 8, -1},
    {"IndexThreeOfTwoPorts", "[Common]\nPortIndex=3\n", 2, -1},
    {"NegativeIndex", "[Common]\nPortIndex=-1\n", 2, -1},
    {"NotAnInteger", "[Common]\nPortIndex=second\n", 2, 0},
    {"GarbageFile",
     "\x7f"
     "ELF\x02\x01\x01\0\0\0\xff\xfe[\n==\n]]\n\x01\x02PortIndex=3\n",
     2, 0},
};

class Settings : public FormFixture, public testing::WithParamInterface<SettingsCase> {};

TEST_P(Settings, PortIndexIsRestoredWhereItAppliesAndSavedAtExit) {
    const SettingsCase& c = GetParam();
    if (c.FileText) {
        WriteText(SettingsFile(), std::string(c.FileText, std::strlen(c.FileText)));
    }
    SetPorts(c.Ports);
    TFormProgFrm& form = Open();
    EXPECT_EQ(form.ComboBox1->count(), c.Ports);
    EXPECT_EQ(form.ComboBox1->currentIndex(), c.ExpectedIndex);
    EXPECT_TRUE(form.FileNameEdit->text().isEmpty());
    Close();

    const TMemIniFile saved(SettingsFile());
    EXPECT_EQ(saved.ReadInteger("Common", "PortIndex", 99), c.ExpectedIndex);
    EXPECT_EQ(saved.ReadString("Common", "FileName", "absent"), "");
    EXPECT_TRUE(Answerer.Boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(PortIndex, Settings, testing::ValuesIn(kSettingsCases),
                         [](const testing::TestParamInfo<SettingsCase>& Case) { return Case.param.Name; });

TEST_F(MainWindow, NewSettingsFileHoldsPortIndexThenFileName) {
    SetPorts(2);
    Open();
    Close();
    EXPECT_EQ(ReadText(SettingsFile()), "[Common]\nPortIndex=0\nFileName=\n\n");
}

TEST_F(MainWindow, FileNameIsRestoredUnreadAndUnknownEntriesSurvive) {
    WriteText(SettingsFile(), "[Other]\nA=1\n[Common]\nX=y\nPortIndex=1\nFileName=/nowhere/old.fwu\n");
    SetPorts(2);
    TFormProgFrm& form = Open();
    EXPECT_EQ(form.ComboBox1->currentIndex(), 1);
    EXPECT_EQ(form.FileNameEdit->text(), "/nowhere/old.fwu");
    EXPECT_EQ(form.OpenDialog1FileName, "/nowhere/old.fwu");
    EXPECT_EQ(form.Package.PageRecordSize, 0u) << "the saved file is not read at start";
    EXPECT_EQ(form.CLMemo->count(), 0);
    EXPECT_EQ(form.ProgressBar1->Max(), 100);
    form.ComboBox1->setCurrentIndex(0); // the user picks another port
    Close();
    EXPECT_EQ(ReadText(SettingsFile()),
              "[Other]\nA=1\n\n[Common]\nX=y\nPortIndex=0\nFileName=/nowhere/old.fwu\n\n");
}

TEST_F(MainWindow, SettingsThatCannotBeSavedAreReportedAndTheOldFileStays) {
    const std::filesystem::path folder = Dir.Path / "settings";
    std::filesystem::create_directory(folder);
    const std::string file = (folder / "pagewright.ini").string();
    const std::string old = "[Common]\nPortIndex=1\nFileName=/old.fwu\n";
    WriteText(file, old);
    TFormProgFrm::SetSettingsPath(QString::fromStdString(file));
    SetPorts(2);
    TFormProgFrm& form = Open();
    form.ComboBox1->setCurrentIndex(0);

    std::string keptFile = file;
    if (::geteuid() != 0) {
        ::chmod(folder.c_str(), 0555); // a read-only folder
    } else {
        // Permissions do not stop root: take the folder away from under the settings path instead.
        const std::filesystem::path moved = Dir.Path / "moved";
        std::filesystem::rename(folder, moved);
        WriteText(folder.string(), "not a folder");
        keptFile = (moved / "pagewright.ini").string();
    }
    Close();
    ::chmod(folder.c_str(), 0755);

    ASSERT_EQ(Answerer.Boxes.size(), 1u);
    EXPECT_EQ(Answerer.Boxes[0].Title, kTitle);
    EXPECT_EQ(Answerer.Boxes[0].Icon, QMessageBox::Critical);
    EXPECT_TRUE(Answerer.Boxes[0].Text.contains(QString::fromStdString(file)))
        << Answerer.Boxes[0].Text.toStdString();
    EXPECT_EQ(ReadText(keptFile), old);
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(std::filesystem::path(keptFile).parent_path()),
                      std::filesystem::directory_iterator()),
        1)
        << "no temporary file left behind";
}

TEST_F(MainWindow, SettingsFileThatCannotBeReadEndsConstruction) {
    std::filesystem::create_directory(SettingsFile()); // exists, cannot be read as a file
    SetPorts(1);
    try {
        TFormProgFrm form;
        FAIL() << "the window was built";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(SettingsFile()), std::string::npos) << error.what();
    }
}

// Port list

TEST_F(MainWindow, PortListFollowsTheRegisteredNamesSortedWithoutCase) {
    Ports->Entries = {{"B", "COM1"}, {"a", "COM5"}};
    TFormProgFrm& form = Open();
    EXPECT_EQ(Items(form.ComboBox1), (QStringList{"COM5", "COM1"}));
    EXPECT_EQ(Items(form.PortNameCombo), (QStringList{"a", "B"}));
    EXPECT_EQ(form.ComboBox1->currentIndex(), 0);
}

TEST_F(MainWindow, LongPortNamesFitTheOpenList) {
    const QString longest = QStringLiteral("/run/user/1000/serialcomm/rvk318-bench-port");
    Ports->Entries = {{"a", "/nowhere/ttyUSB0"}, {"b", longest}};
    TFormProgFrm& form = Open();
    EXPECT_GE(form.ComboBox1->view()->minimumWidth(),
              form.ComboBox1->fontMetrics().horizontalAdvance(longest));
}

TEST_F(MainWindow, NoPortsLeaveTheBoxEmpty) {
    TFormProgFrm& form = Open();
    EXPECT_EQ(form.ComboBox1->count(), 0);
    EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
}

struct OrderCase {
    const char* Name;
    std::vector<TPortEntry> Entries;
    QStringList Expected;
};

class PortOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(PortOrder, DataFollowsTheSortedValueNames) {
    EXPECT_EQ(OrderedPortNames(GetParam().Entries), GetParam().Expected);
}

const OrderCase kOrderCases[] = {
    {"Empty", {}, {}},
    {"CaseIsIgnored", {{"b", "2"}, {"A", "1"}, {"C", "3"}}, {"1", "2", "3"}},
    {"EqualNamesKeepTheirOrder", {{"x", "first"}, {"X", "second"}, {"a", "0"}}, {"0", "first", "second"}},
    {"EmptyDataIsKept", {{"z", ""}, {"y", "Y"}}, {"Y", ""}},
    {"NotByPortName",
     {{"ttyUSB0", "/dev/ttyUSB0"}, {"rvk", "/run/serialcomm/rvk"}},
     {"/run/serialcomm/rvk", "/dev/ttyUSB0"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, PortOrder, testing::ValuesIn(kOrderCases),
                         [](const testing::TestParamInfo<OrderCase>& Case) { return Case.param.Name; });

// Update files

class UpdateFileChoice : public FormFixture {
protected:
    QString MakeFile(const char* name, const UpdateFileLayout& layout) {
        const std::string path = Dir.File(name);
        WriteUpdateFile(path, layout);
        return QString::fromStdString(path);
    }

    // Clicks "..." and answers the dialog with `file` (empty: cancel).
    void Choose(const QString& file) {
        Answerer.FileAnswers.push_back(file);
        Form->SpeedButton1->click();
    }

    static UpdateFileLayout GoodLayout() {
        UpdateFileLayout layout;
        layout.PageCount = 7;
        layout.PageRecordSize = 72;
        layout.HwMajor = 2;
        layout.HwMinor = 1000;
        layout.HwRevisions = {5, 12, 3};
        layout.SwVersions = {0x1A05, 0x0000, 0xFFFF};
        return layout;
    }
};

TEST_F(UpdateFileChoice, GoodFileFillsListsPathCaptionAndProgressRange) {
    TFormProgFrm& form = Open();
    const QString file = MakeFile("good.fwu", GoodLayout());
    Choose(file);

    EXPECT_EQ(Answerer.FileDialogs, 1);
    EXPECT_TRUE(Answerer.Boxes.empty());
    EXPECT_EQ(form.windowTitle(), "RVK-318 Pagewright - 'good.fwu'");
    EXPECT_EQ(form.FileNameEdit->text(), file);
    EXPECT_EQ(Items(form.CLMemo), (QStringList{"2.1000.12", "2.1000.3", "2.1000.5"})) << "sorted as text";
    EXPECT_EQ(Items(form.SCLMemo), (QStringList{"0.0.0.0", "1.10.0.5", "15.15.15.15"}));
    EXPECT_EQ(form.ProgressBar1->Max(), 7);
    EXPECT_EQ(form.ProgressBar1->Position(), 0);
    EXPECT_EQ(form.Package.PageRecordSize, 72u);
    EXPECT_EQ(form.Package.HwMajor, 2);
    EXPECT_EQ(form.Package.HwMinor, 1000);
    EXPECT_EQ(form.Package.HwRevisions, (std::vector<std::uint16_t>{5, 12, 3}));
    EXPECT_EQ(form.Package.PageMap.size(), 7u);

    // The chosen path is what the settings keep.
    Close();
    EXPECT_EQ(TMemIniFile(SettingsFile()).ReadString("Common", "FileName", ""), file.toStdString());
}

TEST_F(UpdateFileChoice, RefusedFileAfterAGoodOneKeepsTheGoodPackageAndClearsTheOverrides) {
    TFormProgFrm& form = Open();
    const QString good = MakeFile("good.fwu", GoodLayout());
    Choose(good);
    UpdateFileLayout badLayout = GoodLayout();
    badLayout.BadMagic = true;
    badLayout.PageCount = 2;
    const QString bad = MakeFile("bad.fwu", badLayout);
    form.SetHardwareOverride(true);
    form.SetSoftwareOverride(true);
    Choose(bad);

    EXPECT_EQ(Answerer.FileDialogs, 2);
    ASSERT_EQ(Answerer.Boxes.size(), 1u) << "the refusal is shown once";
    EXPECT_EQ(Answerer.Boxes[0].Title, kTitle);
    EXPECT_EQ(Answerer.Boxes[0].Text, "Bad file format.");
    EXPECT_EQ(form.windowTitle(), "RVK-318 Pagewright - 'bad.fwu'");
    EXPECT_EQ(form.FileNameEdit->text(), good);
    EXPECT_EQ(Items(form.CLMemo), (QStringList{"2.1000.12", "2.1000.3", "2.1000.5"}));
    EXPECT_EQ(form.SCLMemo->count(), 3);
    EXPECT_EQ(form.ProgressBar1->Max(), 7);
    EXPECT_EQ(form.Package.PageMap.size(), 7u);
    EXPECT_FALSE(form.HardwareCheckOff);
    EXPECT_FALSE(form.SoftwareCheckOff);
    EXPECT_TRUE(form.Label4->isHidden());
    EXPECT_TRUE(form.Label8->isHidden());
    // The dialog still names the refused file: a later load reads it again.
    EXPECT_EQ(form.OpenDialog1FileName, bad);
    EXPECT_TRUE(form.LoadUpdateFile());
}

TEST_F(UpdateFileChoice, CancellingTheDialogChangesNothing) {
    TFormProgFrm& form = Open();
    Choose(MakeFile("good.fwu", GoodLayout()));
    form.SetHardwareOverride(true);
    form.SetSoftwareOverride(true);
    const QString caption = form.windowTitle();
    Choose(QString());

    EXPECT_EQ(Answerer.FileDialogs, 2);
    EXPECT_TRUE(Answerer.Boxes.empty());
    EXPECT_EQ(form.windowTitle(), caption);
    EXPECT_TRUE(form.HardwareCheckOff);
    EXPECT_TRUE(form.SoftwareCheckOff);
    EXPECT_FALSE(form.Label4->isHidden());
    EXPECT_FALSE(form.Label8->isHidden());
    EXPECT_EQ(form.CLMemo->count(), 3);
}

TEST_F(UpdateFileChoice, FileWithoutPagesGivesAnEmptyRange) {
    TFormProgFrm& form = Open();
    UpdateFileLayout layout = GoodLayout();
    layout.PageCount = 0;
    Choose(MakeFile("empty.fwu", layout));
    EXPECT_TRUE(Answerer.Boxes.empty());
    EXPECT_EQ(form.ProgressBar1->Max(), 0);
    EXPECT_EQ(form.ProgressBar1->Position(), 0);
    EXPECT_TRUE(form.Package.PageMap.empty());
    EXPECT_NE(form.ProgressBar1->maximum(), form.ProgressBar1->minimum()) << "no busy animation";
}

TEST_F(UpdateFileChoice, FileThatIsGoneIsRefusedWithTheOpenError) {
    TFormProgFrm& form = Open();
    form.OpenDialog1FileName = QString::fromStdString(Dir.File("gone.fwu"));
    EXPECT_TRUE(form.LoadUpdateFile());
    ASSERT_EQ(Answerer.Boxes.size(), 1u);
    EXPECT_FALSE(Answerer.Boxes[0].Text.isEmpty());
    EXPECT_EQ(form.windowTitle(), "RVK-318 Pagewright - 'gone.fwu'");
    EXPECT_TRUE(form.FileNameEdit->text().isEmpty());
}

} // namespace
