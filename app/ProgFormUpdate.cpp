// TFormProgFrm: the update run: Start and Stop, received frames, version checks, pages and the outcome.
#include "app/ProgForm.h"

#include "app/Dialogs.h"
#include "app/ShowMsg.h"
#include "app/UpdateRules.h"
#include "link/COMConnector.h"
#include "link/IOUnit.h"
#include "protocol/DeviceFrame.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace {

// An error found while a device frame is handled: its text is shown, then the run is stopped.
class UpdateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

const QColor kIndicatorGreen(0, 128, 0);
const QColor kIndicatorYellow(255, 255, 0);

void CloseInstructionWindow() {
    if (ShowMsgFrm) {
        ShowMsgFrm->close();
    }
}

} // namespace

void TFormProgFrm::ActionProgramExecute(QObject*) {
    const QFileInfo shown(FileNameEdit->text());
    if (!FileNameEdit->text().isEmpty() && shown.exists() && shown.isFile()) {
        // Reads the file the open dialog names once more; a refusal has been shown and the package
        // loaded before stays in force.
        LoadUpdateFile();
    } else {
        ActionOpenExecute(this);
    }
    CloseInstructionWindow();

    const bool yes = AskQuestion(QString::fromUtf8(UpdateRules::ConfirmStartText));
    LastPageReported = false;
    if (yes && ComboBox1->currentIndex() >= 0) {
        // A port still open from before is closed and opened again.
        Connector->SetPortName("");
        Connector->SetPortName(
            QFile::encodeName(ComboBox1->itemText(ComboBox1->currentIndex())).toStdString());
        BitBtn1->SetAction(ActionStop);
    } else {
        Connector->SetPortName("");
    }
}

void TFormProgFrm::ActionProgramStop(QObject*) {
    FinishUpdate();
    BitBtn1->SetAction(ActionStart);
}

void TFormProgFrm::ActionStopUpdate(QObject*) {
    ActionStop->SetEnabled(Connector != nullptr);
}

void TFormProgFrm::ActionInitExecute(QObject*) {
    // The instrument's initialisation is not offered: the question is asked and nothing follows.
    AskQuestion(QString::fromUtf8(UpdateRules::InitQuestionText));
}

void TFormProgFrm::ActionInitUpdate(QObject*) {
    ActionInit->SetEnabled(Connector == nullptr);
}

void TFormProgFrm::ProcessReceived(TThread* Sender, ByteBuffer& Buffer) {
    if (!Sender) {
        return;
    }
    try {
        ScanFrames(Buffer, [this](const DeviceFrame& Frame) { HandleDeviceFrame(Frame); });
    } catch (const std::exception& error) {
        // The frame that failed and everything received after it stay in the buffer; the run ends.
        ShowNotice(QString::fromUtf8(error.what()));
        ActionStop->Execute();
    }
}

void TFormProgFrm::HandleDeviceFrame(const DeviceFrame& Frame) {
    // Repaints and clicks (Stop among them) are served before the frame is acted on.
    QApplication::processEvents();
    CloseInstructionWindow();

    switch (Frame.FrameType()) {
    case FrameProgress:
        ProgressBar1->SetPosition(Frame.PageNumber());
        if (Frame.PageNumber() == ProgressBar1->Max() - 1) {
            LastPageReported = true;
            FinishUpdate();
        }
        break;

    case FramePageRequest: {
        Shape1->SetBrushColor(Shape1->BrushColor() == kIndicatorGreen ? kIndicatorYellow : kIndicatorGreen);
        if (Package.PageRecordSize == 0) {
            return; // no update file loaded
        }
        const bool loadingMode = Frame.HwMajor() == UpdateRules::LoadingModeHwMajor;
        if (Frame.PageNumber() == 0) {
            Label1->setText(QString::fromUtf8(loadingMode ? UpdateRules::LoadingProgressCaption
                                                          : UpdateRules::UpdatingProgressCaption));
        }
        bool runToEnd = false;
        if (!HardwareCheckOff && !loadingMode && !UpdateRules::HardwareMatches(Package, Frame)) {
            if (!AskQuestion(QString::fromUtf8(UpdateRules::HardwareQuestionText))) {
                throw UpdateError(UpdateRules::HardwareRefusedText);
            }
            SetHardwareOverride(true);
            runToEnd = true;
        }
        if (!SoftwareCheckOff && !loadingMode && !UpdateRules::SoftwareMatches(Package, Frame)) {
            if (!AskQuestion(QString::fromUtf8(UpdateRules::SoftwareQuestionText))) {
                throw UpdateError(UpdateRules::SoftwareRefusedText);
            }
            SetSoftwareOverride(true);
            runToEnd = true;
        }
        if (runToEnd) {
            ActionStop->Execute();
        }
        if (Frame.PageNumber() >= ProgressBar1->Max()) {
            throw UpdateError(UpdateRules::IncorrectPageMessage(Frame.PageNumber()));
        }
        if (!IOThread || runToEnd) {
            return; // this request gets no page
        }
        IOThread->Send(UpdateRules::AnswerPageRequest(Package, Frame));
        break;
    }

    case FrameDefective:
        ActionStop->Execute();
        throw UpdateError(UpdateRules::DefectiveText);

    default:
        break; // a frame of another type only closes the instruction window
    }
}

void TFormProgFrm::FinishUpdate() {
    if (IOThread) {
        IOThread->Stop(); // the object stays until the next port opening replaces it
    }
    CloseInstructionWindow();
    const UpdateRules::Outcome outcome = UpdateRules::ChooseOutcome(
        ProgressBar1->Position(), ProgressBar1->Max(), SoftwareCheckOff, LastPageReported);
    ShowNotice(QString::fromUtf8(UpdateRules::OutcomeText(outcome)));
    Connector->SetPortName(""); // the connector closes the port; PortClosed waits for the I/O thread
    BitBtn1->SetAction(ActionStart);
}
