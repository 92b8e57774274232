// TFormProgFrm: the window's side of the serial link: the connector, the I/O thread and their hooks.
#include "app/ProgForm.h"

#include "app/Application.h"
#include "app/ShowMsg.h"
#include "app/WindowLook.h"
#include "link/COMConnector.h"
#include "link/IOUnit.h"

#include <QColor>

namespace {
DWORD Milliseconds(std::chrono::milliseconds duration) {
    return static_cast<DWORD>(duration.count());
}
} // namespace

void TFormProgFrm::SetUpLink() {
    Connector = new TComConnector(true);
    Connector->OnOpen = [this](TThread* Sender) { PortOpened(Sender); };
    Connector->OnOpenFailed = [this](TThread* Sender) { PortOpenFailed(Sender); };
    Connector->Resume();
}

void TFormProgFrm::PortOpened(TThread*) {
    Connector->OnClose = [this](TThread* Sender) { PortClosed(Sender); };
    SetComboBox1Color(ButtonFaceColor());
    StartIOUnit();
}

void TFormProgFrm::PortOpenFailed(TThread*) {
    if (!Connector->PortName().empty()) {
        SetComboBox1Color(Qt::red);
    }
}

void TFormProgFrm::PortClosed(TThread*) {
    Connector->OnOpen = [this](TThread* Sender) { PortOpened(Sender); };
    Connector->OnOpenFailed = [this](TThread* Sender) { PortOpenFailed(Sender); };
    if (IOThread) {
        // The run's end has already told the I/O thread to stop; this waits for it to let go of the port.
        WaitForSingleObject(IOThread->StoppedEvent(), Milliseconds(kPortClosedStopWait));
    }
}

void TFormProgFrm::StartIOUnit() {
    delete IOThread; // a running thread is ended by its destruction
    IOThread = nullptr;
    IOThread = new TIOUnit(true, Connector->PortHandle());
    IOThread->OnReceive = [this](TThread* Sender, ByteBuffer& Buffer) { ProcessReceived(Sender, Buffer); };
    if (!ShowMsgFrm) {
        ShowMsgFrm = new TShowMsgFrm(this);
    }
    ShowMsgFrm->setWindowTitle(Application::Title());
    ShowMsgFrm->show();
    ShowMsgFrm->raise();
    if (IOThread->Suspended()) {
        IOThread->Resume();
    }
}

void TFormProgFrm::TearDownLink() {
    if (IOThread) {
        // The window is going away: bytes still waiting for delivery are no longer handled, so no frame
        // runs on a window being destroyed or answers through a thread being deleted.
        IOThread->OnReceive = nullptr;
        if (IOThread->Suspended()) {
            IOThread->Resume();
        }
        IOThread->Terminate();
        // Serves nothing while it waits: the window is hidden by now. A thread still running leaves its
        // loop on the terminate flag but never sets StoppedEvent, so this takes the full time then.
        WaitForSingleObject(IOThread->StoppedEvent(), Milliseconds(kTeardownStopWait));
        delete IOThread; // waits for the thread's end, serving its calls into this thread
        IOThread = nullptr;
    }
    if (Connector) {
        // No hook may run from here on: a port that happened to open now must not start a new I/O
        // thread that would outlive the connector, and PortClosed must not wait on a destroyed thread.
        Connector->OnClose = nullptr;
        Connector->OnOpen = nullptr;
        Connector->OnOpenFailed = nullptr;
        Connector->SetPortName("");
        Connector->Shutdown();
        Connector->WaitFor();
        delete Connector;
        Connector = nullptr;
    }
}
