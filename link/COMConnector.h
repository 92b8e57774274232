// TComConnector: the thread that owns the serial port, keeps it open while a name is set, and watches DSR.
#pragma once

#include "platform/TThread.h"
#include "platform/Win32Api.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

// A notify hook: called on the main thread, only when assigned, with the thread object as Sender.
using TNotifyEvent = std::function<void(TThread* Sender)>;

class TComConnector : public TThread {
public:
    // Pause between two open attempts while no port is open.
    static constexpr std::chrono::milliseconds kOpenRetry{100};
    // Pause before a line watch that failed to start is tried again.
    static constexpr std::chrono::milliseconds kLineWatchRetry{100};
    // Return value of a thread that ended on Shutdown.
    static constexpr int kStoppedReturnValue = -10;

    explicit TComConnector(bool CreateSuspended);
    ~TComConnector() override;

    void SetPortName(const std::string& name);
    void Shutdown();
    const std::string& PortName() const { return FPortName; }
    HANDLE PortHandle() const { return FPortHandle; }
    bool DsrActive() const { return FDsrActive; }

    TNotifyEvent OnOpen;
    TNotifyEvent OnOpenFailed;
    TNotifyEvent OnClose;
    TNotifyEvent OnDsrOn;
    TNotifyEvent OnDsrOff;

protected:
    void Execute() override;

private:
    void OpenPort();
    bool OpenAndConfigure();
    void ClosePort();
    void CheckLine();
    void WatchLine();
    void CallHook(const TNotifyEvent& hook);

    enum { StopEvent, ReconnectEvent, LineEvent, LineCheckEvent, EventCount };
    HANDLE Events[EventCount];
    HANDLE FPortHandle = INVALID_HANDLE_VALUE;
    std::string FPortName;
    bool FDsrActive = false;
    // Set by the destructor: the thread leaves without a port step, the destructor closes the port.
    std::atomic<bool> Destroying{false};
    // The line watch's record and event mask. Members, so that a watch completing or being aborted by
    // the port's closing after the thread body has returned still writes into live memory.
    OVERLAPPED LineWatch{};
    DWORD LineEventMask = 0;
    bool LineWatchPending = false;
};
