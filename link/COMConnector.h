// TComConnector: the thread that owns the serial port, keeps it open while a name is set, and watches DSR.
#pragma once

#include "platform/TThread.h"
#include "platform/Win32Api.h"

#include <functional>
#include <string>

// A notify hook: called on the main thread, only when assigned, with the thread object as Sender.
using TNotifyEvent = std::function<void(TThread* Sender)>;

class TComConnector : public TThread {
public:
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
    void ClosePort();
    void CheckLine();

    enum { StopEvent, ReconnectEvent, LineEvent, LineCheckEvent, EventCount };
    HANDLE Events[EventCount];
    HANDLE FPortHandle = INVALID_HANDLE_VALUE;
    std::string FPortName;
    bool FDsrActive = false;
};
