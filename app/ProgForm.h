// TFormProgFrm: the main window with its controls, actions and settings, the link wiring and the update run.
#pragma once

#include "app/Action.h"
#include "app/ComboBox.h"
#include "app/DiscImage.h"
#include "app/PortList.h"
#include "app/ProgressBar.h"
#include "app/Shape.h"
#include "common/ByteBuffer.h"
#include "package/UpdatePackage.h"
#include "protocol/DeviceFrame.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QString>
#include <QStringList>
#include <QToolButton>
#include <QWidget>

#include <chrono>
#include <memory>

class TComConnector;
class TIOUnit;
class TMemIniFile;
class TThread;

class TFormProgFrm : public QWidget {
    Q_OBJECT
public:
    // Owner: null for the application object. Throws when the settings file exists but cannot be read.
    explicit TFormProgFrm(QWidget* Owner = nullptr);
    // Hidden first, then FormDestroy: the link is taken down and the settings are saved.
    ~TFormProgFrm() override;

    // The components, in the window's order.
    QFrame* Panel1;
    QLabel* Label5;
    QLabel* Label1;
    QLabel* Label3;
    QToolButton* SpeedButton1;
    QLabel* Label4;
    QLabel* Label6;
    QLabel* Label8;
    QLabel* Label11;
    TBitBtn* BitBtn1;
    QFrame* Panel2;
    TProgressBar* ProgressBar1;
    QFrame* Panel5;
    TShape* Shape1;
    QLineEdit* FileNameEdit;
    QListWidget* CLMemo;
    QListWidget* SCLMemo;
    TComboBox* ComboBox1;
    QFileDialog* OpenDialog1;
    TActionList* ActionList1;
    TAction* ActionStart;
    TAction* ActionStop;
    TAction* ActionInit;
    QFrame* Panel3;
    QFrame* Panel4;
    TImage* Image1;
    QComboBox* PortNameCombo;

    // The loaded update file: HwMinor, HwMajor, PageRecordSize (0 while none is loaded), PageMap,
    // HwRevisions, SwVersions.
    UpdatePackage Package;

    // While set, the update run skips the software or the hardware version check.
    bool SoftwareCheckOff = false;
    bool HardwareCheckOff = false;
    // The instrument has reported the last page of the loaded file done since the run began.
    bool LastPageReported = false;

    // The current serial I/O thread (from the first port opening on) and the port connector (for the
    // whole life of the window); both owned.
    TIOUnit* IOThread = nullptr;
    TComConnector* Connector = nullptr;

    // The settings file, owned from construction to FormDestroy.
    TMemIniFile* Settings = nullptr;

    // The file the open dialog names: the file LoadUpdateFile reads.
    QString OpenDialog1FileName;

    // Replaces the items of `Strings` with the port names, ordered by the names they are registered under.
    void FillPortList(QStringList& Strings);
    void FormDestroy(QObject* Sender);
    void N2Click(QObject* Sender);
    void SetHardwareOverride(bool Value);
    void SetSoftwareOverride(bool Value);

    // Update file.
    void ActionOpenExecute(QObject* Sender);
    // Reads the file named by OpenDialog1FileName; true when it was refused.
    bool LoadUpdateFile();

    // Link wiring.
    void PortOpened(TThread* Sender);
    void PortOpenFailed(TThread* Sender);
    void PortClosed(TThread* Sender);
    void StartIOUnit();

    // Update run.
    void ActionProgramExecute(QObject* Sender);
    void ActionProgramStop(QObject* Sender);
    void ActionStopUpdate(QObject* Sender);
    void ActionInitExecute(QObject* Sender);
    void ActionInitUpdate(QObject* Sender);
    void ProcessReceived(TThread* Sender, ByteBuffer& Buffer);
    void HandleDeviceFrame(const DeviceFrame& Frame);
    void FinishUpdate();

    // The colour of the port box: the button face normally, red while its port cannot be opened.
    QColor ComboBox1Color() const;
    void SetComboBox1Color(const QColor& Color);

    // Where the settings are kept: the executable's path with the extension ".ini". A non-empty path set
    // here is used instead by windows created afterwards.
    static QString SettingsPath();
    // `Executable` with its extension replaced by ".ini" (appended when it has none).
    static QString SettingsPathFor(const QString& Executable);
    // The settings file of `Executable`: beside it while its folder can be written (a build tree);
    // otherwise (an installed program) the same file name in `ConfigFolder`/pagewright.
    static QString SettingsPathFor(const QString& Executable, const QString& ConfigFolder);
    static void SetSettingsPath(const QString& Path);
    // Where the port list comes from; null restores the machine's ports.
    static void SetPortSource(std::shared_ptr<const TPortSource> Source);

    // The number of entries the port box was designed with: a saved port index is applied only below it.
    static constexpr int kDesignedPortCount = 4;
    // The teardown's wait for the I/O thread's stop, and PortClosed's.
    static constexpr std::chrono::milliseconds kTeardownStopWait{5000};
    static constexpr std::chrono::milliseconds kPortClosedStopWait{10000};

protected:
    void showEvent(QShowEvent* Event) override;

private:
    void CreateComponents();
    void SetUpLink();
    void TearDownLink();

    bool Centred = false;
    bool Destroyed = false;
};

// The main window, stored when the entry point creates it.
extern TFormProgFrm* FormProgFrm;
