// TIOUnit: one overlapped read in flight at all times, the transmit queue written behind it, and every
// completed read handed to the main thread.
#include "link/IOUnit.h"

#include <algorithm>

namespace {

DWORD Milliseconds(std::chrono::milliseconds duration) {
    return static_cast<DWORD>(duration.count());
}

} // namespace

TIOUnit::TIOUnit(bool CreateSuspended, HANDLE PortHandle) : TThread(true), FPortHandle(PortHandle) {
    SetPriority(tpNormal);
    for (HANDLE& event : Events)
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The first pass starts the first read.
    SetEvent(Events[ReadRequestEvent]);
    // The base is always created suspended so that the body cannot start before this object is complete.
    if (!CreateSuspended)
        Resume();
}

TIOUnit::~TIOUnit() {
    TerminateAndWait();
    for (HANDLE event : Events)
        CloseHandle(event);
}

void TIOUnit::Send(const ByteBuffer& bytes) {
    TransmitQueue.insert(TransmitQueue.end(), bytes.begin(), bytes.end());
    SetEvent(Events[WriteRequestEvent]);
}

void TIOUnit::Stop() {
    // The stop request is in place before a suspended thread is let go, so that its first wait takes it
    // and no read is ever started.
    SetEvent(Events[StopEventIndex]);
    FStopRequested = true;
    // The run is over: received bytes are no longer delivered. A delivery already waiting for the main
    // thread is dropped, so the thread reaches its stop at once even while the main thread waits for it
    // inside another thread's call (the port's close waits for StoppedEvent and serves nothing).
    DiscardSynchronize();
    if (Suspended())
        Resume();
}

void TIOUnit::Execute() {
    ReadCount = 0;
    WriteCount = 0;
    ReadRecord = OVERLAPPED{};
    ReadRecord.hEvent = Events[ReadDoneEvent];
    WriteRecord = OVERLAPPED{};
    WriteRecord.hEvent = Events[WriteDoneEvent];
    ReadInFlight = false;
    WriteInFlight = false;
    // However the body is left (also by an exception out of the OnReceive handler), nothing it started
    // stays in flight.
    struct CancelOnExit {
        TIOUnit& Unit;
        ~CancelOnExit() { Unit.CancelPendingIo(); }
    } cancelOnExit{*this};

    while (!Terminated()) {
        const DWORD result = WaitForMultipleObjects(EventCount, Events, FALSE, Milliseconds(kIoWait));
        switch (result) {
        case WAIT_TIMEOUT:
            if (FStopRequested)
                Terminate();
            break;

        case WAIT_OBJECT_0 + StopEventIndex:
            ResetEvent(Events[StopEventIndex]);
            CancelPendingIo();
            SetReturnValue(kStoppedReturnValue);
            FStopRequested = true;
            // Last: whoever waits for this event finds no I/O of this thread left on the port.
            SetEvent(Events[StoppedEventIndex]);
            return;

        case WAIT_OBJECT_0 + ReadDoneEvent:
            TakeReadResult();
            [[fallthrough]];
        case WAIT_OBJECT_0 + ReadRequestEvent:
            ReceivePass();
            break;

        case WAIT_OBJECT_0 + WriteDoneEvent:
            TakeWriteResult();
            [[fallthrough]];
        case WAIT_OBJECT_0 + WriteRequestEvent:
            TransmitPass();
            break;

        default:
            // StoppedEvent, which is never set while the body runs, or a failed wait.
            break;
        }
    }
}

void TIOUnit::TakeReadResult() {
    ReadInFlight = false;
    // The count is taken over: a read that completed at once reported the same count when it started.
    ReadCount = 0;
    const BOOL ok = GetOverlappedResult(FPortHandle, &ReadRecord, &ReadCount, FALSE);
    ResetEvent(Events[ReadDoneEvent]);
    if (!ok) {
        ClearCommError(FPortHandle, nullptr, nullptr);
        PauseAfterFailure();
    }
}

void TIOUnit::ReceivePass() {
    if (ReadCount != 0) {
        const auto count = std::min<std::size_t>(ReadCount, ReadChunk.size());
        ReceiveBuffer.insert(ReceiveBuffer.end(), ReadChunk.begin(),
                             ReadChunk.begin() + static_cast<std::ptrdiff_t>(count));
        ReadCount = 0;
    }
    // Every pass, also with nothing new: the handler sees again what it left in the buffer.
    Synchronize([this] { DeliverReceived(); });

    ReadChunk.fill(0);
    if (ReadFile(FPortHandle, ReadChunk.data(), kReadChunkSize, &ReadCount, &ReadRecord)) {
        ReadInFlight = true;
        SetEvent(Events[ReadRequestEvent]);
        return;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        ReadInFlight = true;
        ResetEvent(Events[ReadRequestEvent]);
        return;
    }
    ReadCount = 0;
    ClearCommError(FPortHandle, nullptr, nullptr);
    // A port that refuses reads (closed or vanished) would otherwise be asked again at once, with a
    // synchronised delivery each time.
    PauseAfterFailure();
    SetEvent(Events[ReadRequestEvent]);
}

void TIOUnit::TakeWriteResult() {
    WriteInFlight = false;
    WriteCount = 0;
    const BOOL ok = GetOverlappedResult(FPortHandle, &WriteRecord, &WriteCount, FALSE);
    ResetEvent(Events[WriteDoneEvent]);
    if (!ok) {
        ClearCommError(FPortHandle, nullptr, nullptr);
        PauseAfterFailure();
    }
}

void TIOUnit::TransmitPass() {
    if (WriteCount != 0) {
        if (TransmitQueue.size() >= WriteCount)
            TransmitQueue.erase(TransmitQueue.begin(),
                                TransmitQueue.begin() + static_cast<std::ptrdiff_t>(WriteCount));
        else
            TransmitQueue.clear();
        WriteCount = 0;
    }
    if (TransmitQueue.empty()) {
        // Nothing to write: the request is served. Left set, it would wake every following wait at once.
        ResetEvent(Events[WriteRequestEvent]);
        return;
    }
    if (WriteInFlight) {
        // One write at a time; what was queued meanwhile goes out after its completion.
        ResetEvent(Events[WriteRequestEvent]);
        return;
    }

    WriteCopy.assign(TransmitQueue.begin(), TransmitQueue.end());
    if (WriteFile(FPortHandle, WriteCopy.data(), static_cast<DWORD>(WriteCopy.size()), &WriteCount,
                  &WriteRecord)) {
        WriteInFlight = true;
        SetEvent(Events[WriteRequestEvent]);
        return;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        WriteInFlight = true;
        ResetEvent(Events[WriteRequestEvent]);
        return;
    }
    // Nothing was written: the whole queue goes out again.
    WriteCount = 0;
    ClearCommError(FPortHandle, nullptr, nullptr);
    PauseAfterFailure();
    SetEvent(Events[WriteRequestEvent]);
}

// Paces the retries on a port that keeps failing; a stop request ends the pause at once and is served by
// the next wait.
void TIOUnit::PauseAfterFailure() {
    WaitForSingleObject(Events[StopEventIndex], Milliseconds(kRetryPause));
}

// Reads and writes still in flight are cancelled so that nothing completes into this object's buffers
// after the body has returned. On a port the connector has closed they were aborted already and the
// cancellation fails harmlessly.
void TIOUnit::CancelPendingIo() {
    if (ReadInFlight)
        CancelIoEx(FPortHandle, &ReadRecord);
    if (WriteInFlight)
        CancelIoEx(FPortHandle, &WriteRecord);
    ReadInFlight = false;
    WriteInFlight = false;
}

void TIOUnit::DeliverReceived() {
    if (ReceiveBuffer.empty() || !OnReceive)
        return;
    // Called through a copy: the handler may reassign OnReceive.
    const TReceiveEvent handler = OnReceive;
    handler(this, ReceiveBuffer);
}
