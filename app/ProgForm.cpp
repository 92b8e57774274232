// TFormProgFrm: building the main window, its settings, its port list and its teardown.
#include "app/ProgForm.h"

#include "app/Application.h"
#include "app/Dialogs.h"
#include "app/WindowLook.h"
#include "link/COMConnector.h"
#include "link/IOUnit.h"
#include "platform/MemIniFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>

#include <exception>
#include <unistd.h>

TFormProgFrm* FormProgFrm = nullptr;

namespace {

const QString kCaption = QStringLiteral("RVK-318 Pagewright");
const char* const kSection = "Common";
const char* const kPortIndexKey = "PortIndex";
const char* const kFileNameKey = "FileName";

QString SettingsPathOverride;
std::shared_ptr<const TPortSource> PortSourceOverride;

const QStringList kDesignedPorts = {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                                    QStringLiteral("COM4")};

QLabel* MakeLabel(QWidget* Parent, const QString& Caption, const QRect& Bounds) {
    auto* label = new QLabel(Caption, Parent);
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(Bounds);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// A one-line label grows to its text, so that a wider font than designed never cuts its caption.
void FitLabelWidth(QLabel* Label) {
    Label->resize(std::max(Label->width(), Label->sizeHint().width()), Label->height());
}

void MakeRed(QLabel* Label) {
    QPalette palette = Label->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    Label->setPalette(palette);
}

QListWidget* MakeSortedList(QWidget* Parent, const QRect& Bounds, const QString& Hint) {
    auto* list = new QListWidget(Parent);
    list->setGeometry(Bounds);
    list->setSortingEnabled(true); // sorted as text
    list->setToolTip(Hint);
    SetControlColor(list, ButtonFaceColor());
    return list;
}

} // namespace

TFormProgFrm::TFormProgFrm(QWidget* Owner)
    : QWidget(Owner, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    CreateComponents();
    SetUpLink();
    try {
        setWindowTitle(kCaption);
        QStringList ports;
        FillPortList(ports);
        ComboBox1->clear();
        ComboBox1->addItems(ports);
        ComboBox1->FitPopupWidth();

        Settings = new TMemIniFile(QFile::encodeName(SettingsPath()).toStdString());
        // The saved index is a position in the list; it is applied only below the number of designed
        // entries and only where the list has that many ports.
        const int portIndex = Settings->ReadInteger(kSection, kPortIndexKey, 0);
        ComboBox1->setCurrentIndex(
            portIndex >= 0 && portIndex < kDesignedPortCount && portIndex < ComboBox1->count() ? portIndex
                                                                                               : -1);
        FileNameEdit->setText(QFile::decodeName(Settings->ReadString(kSection, kFileNameKey, "").c_str()));
        OpenDialog1FileName = FileNameEdit->text();
        if (!OpenDialog1FileName.isEmpty()) {
            OpenDialog1->selectFile(OpenDialog1FileName);
        }
        Application::SetTitle(windowTitle());
    } catch (...) {
        // The connector thread already runs: end it before the exception leaves the half-built window.
        TearDownLink();
        delete Settings;
        Settings = nullptr;
        throw;
    }
}

TFormProgFrm::~TFormProgFrm() {
    hide();
    if (!Destroyed) {
        Destroyed = true;
        try {
            FormDestroy(this);
        } catch (const std::exception& error) {
            ShowException(QString::fromLocal8Bit(error.what()));
        } catch (...) {
            ShowException(QString());
        }
    }
    TearDownLink(); // nothing left to do unless FormDestroy failed before it
    delete Settings;
    Settings = nullptr;
    if (FormProgFrm == this) {
        FormProgFrm = nullptr;
    }
}

void TFormProgFrm::CreateComponents() {
    setFont(WindowFont());
    SetButtonFaceBackground(this);
    setFixedSize(512, 340);

    Panel1 = new QFrame(this);
    Panel1->setGeometry(0, 0, 313, 340);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);

    Label5 = MakeLabel(Panel1, QStringLiteral("Compatible hardware versions:"), QRect(8, 72, 97, 65));
    Label5->setWordWrap(true);

    Label1 = MakeLabel(Panel1, QStringLiteral("Update Progress:"), QRect(8, 301, 89, 29));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    Label3 = MakeLabel(Panel1, QStringLiteral("File:"), QRect(8, 40, 19, 13));
    FitLabelWidth(Label3);

    SpeedButton1 = new QToolButton(Panel1);
    SpeedButton1->setGeometry(280, 40, 23, 21);
    SpeedButton1->setText(QStringLiteral("..."));
    SpeedButton1->setToolTip(QStringLiteral("Selecting of update file"));
    SpeedButton1->setFocusPolicy(Qt::NoFocus);
    SpeedButton1->setAutoRaise(false);

    Label4 = MakeLabel(Panel1, QStringLiteral("Version check is cancelled"), QRect(8, 122, 92, 26));
    Label4->setWordWrap(true);
    MakeRed(Label4);
    Label4->hide();

    Label6 = MakeLabel(Panel1, QStringLiteral("Compatible software versions:"), QRect(8, 189, 97, 65));
    Label6->setWordWrap(true);

    Label8 = MakeLabel(Panel1, QStringLiteral("Version check is cancelled"), QRect(8, 239, 92, 26));
    Label8->setWordWrap(true);
    MakeRed(Label8);
    Label8->hide();

    Label11 = MakeLabel(Panel1, QStringLiteral("Port:"), QRect(8, 8, 97, 21));
    Label11->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    BitBtn1 = new TBitBtn(Panel1);
    BitBtn1->setGeometry(249, 301, 56, 29);
    BitBtn1->setToolTip(QStringLiteral("Start of software updating"));

    Panel2 = new QFrame(Panel1);
    Panel2->setGeometry(112, 301, 137, 29);
    Panel2->setFrameStyle(QFrame::NoFrame);

    ProgressBar1 = new TProgressBar(Panel2);
    ProgressBar1->setGeometry(22, 0, 115, 29);
    ProgressBar1->setToolTip(QStringLiteral("Progress of updating"));

    Panel5 = new QFrame(Panel2);
    Panel5->setGeometry(0, 0, 22, 29);
    Panel5->setFrameStyle(QFrame::Box | QFrame::Plain);
    Panel5->setLineWidth(1);

    Shape1 = new TShape(Panel5);
    Shape1->setGeometry(1, 1, 20, 27);
    Shape1->SetBrushColor(QColor(0, 128, 0));

    FileNameEdit = new QLineEdit(Panel1);
    FileNameEdit->setGeometry(112, 40, 169, 21);
    FileNameEdit->setReadOnly(true);
    FileNameEdit->setToolTip(QStringLiteral("File of update"));
    SetControlColor(FileNameEdit, ButtonFaceColor());

    CLMemo = MakeSortedList(Panel1, QRect(112, 72, 192, 105),
                            QStringLiteral("The list of compatibility on hardware versions"));
    SCLMemo = MakeSortedList(Panel1, QRect(112, 189, 192, 105),
                             QStringLiteral("The list of compatibility on program versions"));

    ComboBox1 = new TComboBox(Panel1);
    ComboBox1->setGeometry(112, 8, 193, 21);
    ComboBox1->setEditable(false);
    ComboBox1->setToolTip(QStringLiteral("Communication port"));
    ComboBox1->addItems(kDesignedPorts);
    SetControlColor(ComboBox1, ButtonFaceColor());

    OpenDialog1 = new QFileDialog(this, QStringLiteral("Select the file"));
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog); // the same dialog everywhere, tests included
    OpenDialog1->setOption(QFileDialog::ReadOnly);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setNameFilter(QStringLiteral("Pagewright files (*.fwu)"));
    OpenDialog1->setDefaultSuffix(QStringLiteral("FWU"));
    OpenDialog1->setSizeGripEnabled(true);

    ActionList1 = new TActionList(this);
    ActionStart = new TAction(ActionList1, QStringLiteral("Start"));
    ActionStop = new TAction(ActionList1, QStringLiteral("Stop"));
    ActionInit = new TAction(ActionList1, QStringLiteral("Init"));
    ActionList1->Add(ActionStart);
    ActionList1->Add(ActionStop);
    ActionList1->Add(ActionInit);
    ActionStart->OnExecute = [this](TAction* Sender) { ActionProgramExecute(Sender); };
    ActionStop->OnExecute = [this](TAction* Sender) { ActionProgramStop(Sender); };
    ActionStop->OnUpdate = [this](TAction* Sender) { ActionStopUpdate(Sender); };
    ActionInit->OnExecute = [this](TAction* Sender) { ActionInitExecute(Sender); };
    ActionInit->OnUpdate = [this](TAction* Sender) { ActionInitUpdate(Sender); };

    Panel3 = new QFrame(this);
    Panel3->setGeometry(313, 0, 199, 340);
    Panel3->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel3->setLineWidth(1);

    Panel4 = new QFrame(Panel3);
    Panel4->setGeometry(1, 1, 197, 338);
    Panel4->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel4->setLineWidth(1);

    Image1 = new TImage(Panel4);
    Image1->setGeometry(14, 14, 197 - 28, 338 - 28);
    Image1->SetPicture(DrawDiscImage());

    PortNameCombo = new QComboBox(Panel1);
    PortNameCombo->setGeometry(104, 104, 193, 21);
    PortNameCombo->setToolTip(QStringLiteral("Communication port"));
    PortNameCombo->addItems(kDesignedPorts);
    PortNameCombo->hide();

    // The designed binding keeps the button's own hint.
    BitBtn1->SetAction(ActionStart, false);
    connect(SpeedButton1, &QToolButton::clicked, this, [this] {
        try {
            ActionOpenExecute(SpeedButton1);
        } catch (const std::exception& error) {
            ShowException(QString::fromLocal8Bit(error.what()));
        } catch (...) {
            ShowException(QString());
        }
    });

    setTabOrder(ComboBox1, FileNameEdit);
    setTabOrder(FileNameEdit, CLMemo);
    setTabOrder(CLMemo, SCLMemo);
    setTabOrder(SCLMemo, BitBtn1);
    setTabOrder(BitBtn1, PortNameCombo);
}

void TFormProgFrm::FillPortList(QStringList& Strings) {
    Strings.clear();
    static const TSystemPortSource SystemPorts;
    const TPortSource& source = PortSourceOverride ? *PortSourceOverride : SystemPorts;
    const std::vector<TPortEntry> entries = source.Ports();
    // The hidden list keeps the registered names in the order the port names are listed in.
    PortNameCombo->clear();
    PortNameCombo->addItems(SortedValueNames(entries));
    Strings = OrderedPortNames(entries);
}

void TFormProgFrm::FormDestroy(QObject*) {
    TearDownLink();
    if (Settings) {
        Settings->WriteInteger(kSection, kPortIndexKey, ComboBox1->currentIndex());
        Settings->WriteString(kSection, kFileNameKey, QFile::encodeName(FileNameEdit->text()).toStdString());
        Settings->UpdateFile();
        delete Settings;
        Settings = nullptr;
    }
}

void TFormProgFrm::N2Click(QObject*) {
    close();
}

void TFormProgFrm::SetHardwareOverride(bool Value) {
    HardwareCheckOff = Value;
    Label4->setVisible(Value);
}

void TFormProgFrm::SetSoftwareOverride(bool Value) {
    SoftwareCheckOff = Value;
    Label8->setVisible(Value);
}

QColor TFormProgFrm::ComboBox1Color() const {
    return ControlColor(ComboBox1);
}

void TFormProgFrm::SetComboBox1Color(const QColor& Color) {
    if (ComboBox1Color() != Color) {
        SetControlColor(ComboBox1, Color);
    }
}

QString TFormProgFrm::SettingsPath() {
    if (!SettingsPathOverride.isEmpty()) {
        return SettingsPathOverride;
    }
    const QString path =
        SettingsPathFor(QCoreApplication::applicationFilePath(),
                        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    // The configuration folder may not exist yet; the save needs it.
    QDir().mkpath(QFileInfo(path).absolutePath());
    return path;
}

QString TFormProgFrm::SettingsPathFor(const QString& Executable, const QString& ConfigFolder) {
    const QString beside = SettingsPathFor(Executable);
    if (::access(QFile::encodeName(QFileInfo(beside).absolutePath()).constData(), W_OK) == 0) {
        return beside;
    }
    // An installed program cannot write beside its executable: its settings live, under the same name,
    // in the user's configuration folder instead.
    return ConfigFolder + QStringLiteral("/pagewright/") + QFileInfo(beside).fileName();
}

QString TFormProgFrm::SettingsPathFor(const QString& Executable) {
    const QFileInfo executable(Executable);
    QString name = executable.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0) {
        name.truncate(dot);
    }
    return executable.absolutePath() + QLatin1Char('/') + name + QStringLiteral(".ini");
}

void TFormProgFrm::SetSettingsPath(const QString& Path) {
    SettingsPathOverride = Path;
}

void TFormProgFrm::SetPortSource(std::shared_ptr<const TPortSource> Source) {
    PortSourceOverride = std::move(Source);
}

void TFormProgFrm::showEvent(QShowEvent* Event) {
    if (!Centred) {
        Centred = true;
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = frameGeometry(); // move() places the frame, title bar included
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QWidget::showEvent(Event);
}
