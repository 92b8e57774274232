// TIOUnit: the thread that moves the bytes of an open port both ways with overlapped reads and writes.
#pragma once

#include "common/ByteBuffer.h"
#include "platform/TThread.h"
#include "platform/Win32Api.h"

#include <array>
#include <atomic>
#include <chrono>
#include <functional>

// Called on the main thread with the thread object and its ReceiveBuffer, which the handler may shorten.
using TReceiveEvent = std::function<void(TThread* Sender, ByteBuffer& Buffer)>;

class TIOUnit : public TThread {
public:
    // Longest wait of the body; also bounds how long a bare Terminate goes unnoticed.
    static constexpr std::chrono::milliseconds kIoWait{1000};
    // Pause before a read or write that failed is tried again (the port's read interval).
    static constexpr std::chrono::milliseconds kRetryPause{20};
    static constexpr DWORD kReadChunkSize = 80;
    // Return value of a thread that ended on Stop.
    static constexpr int kStoppedReturnValue = -10;

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
    void TakeReadResult();
    void ReceivePass();
    void TakeWriteResult();
    void TransmitPass();
    void PauseAfterFailure();
    void CancelPendingIo();

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
    // Written by Stop on the main thread, read by the body on its own thread.
    std::atomic<bool> FStopRequested{false};

    // The body's working state. Members rather than locals so that they outlive every operation in
    // flight; the body cancels those before it returns.
    std::array<BYTE, kReadChunkSize> ReadChunk{};
    // Exactly the bytes of the write in flight: Send may grow TransmitQueue meanwhile, which can move
    // its storage.
    ByteBuffer WriteCopy;
    OVERLAPPED ReadRecord{};
    OVERLAPPED WriteRecord{};
    DWORD ReadCount = 0;
    DWORD WriteCount = 0;
    bool ReadInFlight = false;
    bool WriteInFlight = false;
};
