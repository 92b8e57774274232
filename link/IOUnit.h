// TIOUnit: the thread that moves the bytes of an open port both ways with overlapped reads and writes.
#pragma once

#include "common/ByteBuffer.h"
#include "platform/TThread.h"
#include "platform/Win32Api.h"

#include <functional>

// Called on the main thread with the thread object and its ReceiveBuffer, which the handler may shorten.
using TReceiveEvent = std::function<void(TThread* Sender, ByteBuffer& Buffer)>;

class TIOUnit : public TThread {
public:
    TIOUnit(bool CreateSuspended, HANDLE PortHandle);
    ~TIOUnit() override;

    // Main thread, from within OnReceive only.
    void Send(const ByteBuffer& bytes);
    void Stop();
    HANDLE StoppedEvent() const { return Events[StoppedEventIndex]; }
    bool StopRequested() const { return FStopRequested; }

    TReceiveEvent OnReceive;

protected:
    void Execute() override;

private:
    void DeliverReceived();

    enum {
        StopEventIndex,
        ReadDoneEvent,
        ReadRequestEvent,
        WriteDoneEvent,
        WriteRequestEvent,
        StoppedEventIndex,
        EventCount
    };
    HANDLE FPortHandle;
    HANDLE Events[EventCount];
    ByteBuffer ReceiveBuffer;
    ByteBuffer TransmitQueue;
    bool FStopRequested = false;
};
