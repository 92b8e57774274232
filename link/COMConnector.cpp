// TComConnector: opens, configures, watches and closes the serial port on behalf of the main window.
#include "link/COMConnector.h"

namespace {

// Device prefix of a port name; the platform strips it again.
constexpr const char* kDevicePrefix = "\\\\.\\";
// Line settings of the instrument's boot loader.
constexpr const char* kLineSettings = "115200,n,8,2";
constexpr DWORD kQueueSize = 4096;

// A character arrives within 20 ms of the previous one, or the read ends; a read may last 20 ms per
// requested byte plus 50 ms; a write 20 ms per byte plus 20 ms.
constexpr COMMTIMEOUTS kPortTimeouts = {
    20, // ReadIntervalTimeout
    20, // ReadTotalTimeoutMultiplier
    50, // ReadTotalTimeoutConstant
    20, // WriteTotalTimeoutMultiplier
    20, // WriteTotalTimeoutConstant
};

DWORD Milliseconds(std::chrono::milliseconds duration) {
    return static_cast<DWORD>(duration.count());
}

} // namespace

TComConnector::TComConnector(bool CreateSuspended) : TThread(true) {
    SetPriority(tpHighest);
    for (HANDLE& event : Events)
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The base is always created suspended so that the body cannot start before this object is complete.
    if (!CreateSuspended)
        Resume();
}

TComConnector::~TComConnector() {
    // The body waits without time-out, so the stop event wakes it; Destroying makes it leave at once,
    // without a port step or a hook, and the port is closed here.
    Destroying = true;
    Terminate();
    SetEvent(Events[StopEvent]);
    TerminateAndWait();
    if (FPortHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(FPortHandle);
        FPortHandle = INVALID_HANDLE_VALUE;
    }
    for (HANDLE event : Events)
        CloseHandle(event);
}

void TComConnector::SetPortName(const std::string& name) {
    if (name == FPortName)
        return;
    FPortName = name;
    SetEvent(Events[ReconnectEvent]);
}

void TComConnector::Shutdown() {
    Terminate();
    SetEvent(Events[StopEvent]);
    if (Suspended())
        Resume();
}

void TComConnector::Execute() {
    LineWatch = OVERLAPPED{};
    LineWatch.hEvent = Events[LineEvent];
    LineWatchPending = false;

    while (!Terminated()) {
        const DWORD result = WaitForMultipleObjects(EventCount, Events, FALSE, INFINITE);
        if (Destroying)
            break;
        switch (result) {
        case WAIT_OBJECT_0 + StopEvent:
            ResetEvent(Events[StopEvent]);
            Synchronize([this] { ClosePort(); });
            SetReturnValue(kStoppedReturnValue);
            return;

        case WAIT_OBJECT_0 + ReconnectEvent:
            Synchronize([this] { OpenPort(); });
            if (FPortHandle != INVALID_HANDLE_VALUE) {
                SetEvent(Events[LineCheckEvent]);
                break;
            }
            if (Terminated())
                break;
            // ReconnectEvent stays set after a failed attempt; this pause paces the attempts, and a stop
            // request cuts it short.
            if (WaitForSingleObject(Events[StopEvent], Milliseconds(kOpenRetry)) == WAIT_TIMEOUT)
                SetEvent(Events[ReconnectEvent]);
            break;

        case WAIT_OBJECT_0 + LineEvent:
            LineWatchPending = false;
            ClearCommError(FPortHandle, nullptr, nullptr);
            ResetEvent(Events[LineEvent]);
            [[fallthrough]];
        case WAIT_OBJECT_0 + LineCheckEvent:
            Synchronize([this] { CheckLine(); });
            WatchLine();
            break;

        default:
            Synchronize([this] { ClosePort(); });
            return;
        }
    }

    // Ended on the terminate flag: the port stays open for the destructor, but the watch this thread
    // started must not outlive it.
    if (LineWatchPending && FPortHandle != INVALID_HANDLE_VALUE)
        CancelIoEx(FPortHandle, &LineWatch);
    LineWatchPending = false;
}

void TComConnector::WatchLine() {
    if (WaitCommEvent(FPortHandle, &LineEventMask, &LineWatch)) {
        // Completed at once: its event is set too, and the next pass checks the line again.
        SetEvent(Events[LineCheckEvent]);
        return;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        LineWatchPending = true;
        return;
    }
    ClearCommError(FPortHandle, nullptr, nullptr);
    // A port that refuses the watch (a vanished device) would otherwise be asked again at once, with a
    // synchronised line check each time. A stop request or a new name ends the pause early.
    const HANDLE wakeUp[] = {Events[StopEvent], Events[ReconnectEvent]};
    WaitForMultipleObjects(2, wakeUp, FALSE, Milliseconds(kLineWatchRetry));
    SetEvent(Events[LineCheckEvent]);
}

void TComConnector::OpenPort() {
    ClosePort();
    if (FPortName.empty())
        return;
    if (!OpenAndConfigure()) {
        if (FPortHandle != INVALID_HANDLE_VALUE) {
            CloseHandle(FPortHandle);
            FPortHandle = INVALID_HANDLE_VALUE;
        }
        CallHook(OnOpenFailed);
        return;
    }
    ResetEvent(Events[ReconnectEvent]);
}

// Opens PortName and applies the instrument's line settings; false at the first step that fails, with
// any handle already opened left in FPortHandle for the caller to close.
bool TComConnector::OpenAndConfigure() {
    const std::string device = kDevicePrefix + FPortName;
    FPortHandle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, 0);
    if (FPortHandle == INVALID_HANDLE_VALUE)
        return false;
    if (!SetupComm(FPortHandle, kQueueSize, kQueueSize))
        return false;

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!BuildCommDCBA(kLineSettings, &dcb))
        return false;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fBinary = 1;
    if (!SetCommState(FPortHandle, &dcb))
        return false;

    COMMTIMEOUTS timeouts = kPortTimeouts;
    if (!SetCommTimeouts(FPortHandle, &timeouts))
        return false;
    if (!EscapeCommFunction(FPortHandle, SETDTR))
        return false;
    if (!SetCommMask(FPortHandle, EV_DSR))
        return false;

    CallHook(OnOpen);

    DWORD status = 0;
    if (!GetCommModemStatus(FPortHandle, &status))
        return false;
    FDsrActive = (status & MS_DSR_ON) != 0;
    return true;
}

void TComConnector::ClosePort() {
    if (FPortHandle == INVALID_HANDLE_VALUE)
        return;
    EscapeCommFunction(FPortHandle, CLRDTR);
    if (FDsrActive)
        CallHook(OnDsrOff);
    CloseHandle(FPortHandle);
    FPortHandle = INVALID_HANDLE_VALUE;
    // Closing the port has aborted its line watch.
    LineWatchPending = false;
    CallHook(OnClose);
}

void TComConnector::CheckLine() {
    ResetEvent(Events[LineCheckEvent]);
    DWORD status = 0;
    if (!GetCommModemStatus(FPortHandle, &status))
        status = 0;
    const bool active = (status & MS_DSR_ON) != 0;
    if (active == FDsrActive)
        return;
    FDsrActive = active;
    CallHook(active ? OnDsrOn : OnDsrOff);
}

// A hook may reassign hooks of this object while it runs; it is called through a copy so that the
// callable stays alive for the whole call.
void TComConnector::CallHook(const TNotifyEvent& hook) {
    if (!hook)
        return;
    const TNotifyEvent call = hook;
    call(this);
}
