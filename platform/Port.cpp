// Serial ports: opening a terminal exclusively, its settings and control lines, and overlapped reads,
// writes and line watches served by one poll loop per open port.
#include "platform/LineSettings.h"
#include "platform/SystemCalls.h"
#include "platform/Win32Api.h"
#include "platform/Win32Internal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace Win32Internal;

namespace {

using Clock = std::chrono::steady_clock;

// How often the DSR line is sampled while a line watch is pending on a device that has modem lines.
constexpr auto kModemPollInterval = std::chrono::milliseconds(50);
// Internal of a record whose operation is still in flight.
constexpr std::uintptr_t kStatusPending = 0x103;
constexpr std::string_view kDevicePrefix = "\\\\.\\";

// Record fields are written by the service thread and read by GetOverlappedResult on other threads;
// one lock for all of them keeps that exchange ordered, whether the port still exists or not. Never
// destroyed, like the handle table: service threads may still complete operations during exit.
struct RecordSync {
    std::mutex Lock;
    std::condition_variable Done;
};

RecordSync& Records() {
    static RecordSync* const records = new RecordSync;
    return *records;
}

bool IsMissingModemLines(int error) {
    return error == ENOTTY || error == EINVAL;
}

enum class OperationKind { Read, Write, Watch };

struct Operation {
    OperationKind Kind{};
    OVERLAPPED* Record = nullptr;
    BYTE* ReadBuffer = nullptr;
    const BYTE* WriteBuffer = nullptr;
    DWORD Size = 0;
    DWORD Done = 0;
    LPDWORD EventMask = nullptr;
    std::thread::id Starter;
    // Time limits start when the operation reaches the front of its queue.
    bool Active = false;
    std::optional<Clock::time_point> TotalDeadline;
    DWORD Interval = 0;
    Clock::time_point LastByte{};
    int LineState = 0;
};

class Port final : public KernelObject {
public:
    Port(int fd, int wakeFd, bool modemLines) : Fd(fd), WakeFd(wakeFd), ModemLines(modemLines) {}
    ~Port() override { Close(); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    void Start() {
        Service = std::thread([this] { Serve(); });
    }

    // Completes everything pending as aborted, stops the service thread and gives the device up. The
    // exclusive-use flag is cleared before the descriptor is closed: it belongs to the device, not to
    // the descriptor, and would otherwise outlive us on a terminal whose other side stays open. DTR is
    // not touched here (whoever closes the port drops it first if it wants to); the terminal's own
    // hang-up-on-close setting still applies.
    void Close() override {
        {
            std::lock_guard lock(Lock);
            if (Closing) {
                return;
            }
            Closing = true;
            CancelMatching([](const Operation&) { return true; });
        }
        Wake();
        if (Service.joinable()) {
            Service.join();
        }
        std::lock_guard lock(Lock);
        Sys().Ioctl(Fd, TIOCNXCL, nullptr);
        ::close(Fd); // not retried on EINTR: the descriptor is gone either way
        ::close(WakeFd);
        Fd = -1;
        WakeFd = -1;
    }

    BOOL StartRead(BYTE* buffer, DWORD size, OVERLAPPED* record) {
        std::lock_guard lock(Lock);
        if (!Usable(record)) {
            return FALSE;
        }
        if (Dead) {
            return Fail(DeadError);
        }
        Operation op;
        op.Kind = OperationKind::Read;
        op.ReadBuffer = buffer;
        op.Size = size;
        return Begin(std::move(op), record, Reads);
    }

    BOOL StartWrite(const BYTE* buffer, DWORD size, OVERLAPPED* record) {
        std::lock_guard lock(Lock);
        if (!Usable(record)) {
            return FALSE;
        }
        if (Dead) {
            return Fail(DeadError);
        }
        Operation op;
        op.Kind = OperationKind::Write;
        op.WriteBuffer = buffer;
        op.Size = size;
        return Begin(std::move(op), record, Writes);
    }

    BOOL StartWatch(LPDWORD eventMask, OVERLAPPED* record) {
        std::lock_guard lock(Lock);
        if (!Usable(record)) {
            return FALSE;
        }
        if (Mask == 0 || Watch) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        Operation op;
        op.Kind = OperationKind::Watch;
        op.EventMask = eventMask;
        op.Starter = std::this_thread::get_id();
        op.Record = record;
        if (Sampling()) {
            op.LineState = ReadLines().value_or(0);
        }
        if (record->hEvent != 0) {
            ResetEvent(record->hEvent);
        }
        {
            std::lock_guard recordLock(Records().Lock);
            record->Internal = kStatusPending;
            record->InternalHigh = 0;
        }
        Watch = std::move(op);
        Wake();
        return Fail(ERROR_IO_PENDING);
    }

    // Cancels the operations for which `match` holds; true when there was at least one.
    template <class Match> bool Cancel(Match match) {
        bool any = false;
        {
            std::lock_guard lock(Lock);
            if (Closing) {
                return Fail(ERROR_INVALID_HANDLE) != FALSE;
            }
            any = CancelMatching(match);
        }
        if (any) {
            Wake();
        }
        return any;
    }

    BOOL SetMask(DWORD mask) {
        std::lock_guard lock(Lock);
        if (Closing) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        Mask = mask;
        // A watch in progress ends when the mask changes, reporting no event.
        if (Watch) {
            Finish(*Watch, ERROR_SUCCESS, 0);
            Watch.reset();
        }
        return TRUE;
    }

    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts) {
        std::lock_guard lock(Lock);
        if (Closing) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        Timeouts = timeouts;
        return TRUE;
    }

    BOOL GetTimeouts(COMMTIMEOUTS& timeouts) {
        std::lock_guard lock(Lock);
        if (Closing) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        timeouts = Timeouts;
        return TRUE;
    }

    BOOL SetState(const DCB& dcb) {
        std::lock_guard lock(Lock);
        if (Closing) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        DWORD error = ERROR_SUCCESS;
        if (!LineSettings::Apply(Fd, dcb, error)) {
            return Fail(error);
        }
        if (dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_DISABLE) {
            if (!SetLine(TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE)) {
                return FALSE;
            }
        }
        if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE) {
            if (!SetLine(TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE)) {
                return FALSE;
            }
        }
        Control = dcb;
        HaveControl = true;
        return TRUE;
    }

    BOOL GetState(DCB& dcb) {
        std::lock_guard lock(Lock);
        if (Closing) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        DCB result{};
        if (HaveControl) {
            result = Control;
        } else {
            result.fDtrControl = DTR_CONTROL_ENABLE;
            result.fRtsControl = RTS_CONTROL_ENABLE;
        }
        DWORD error = ERROR_SUCCESS;
        if (!LineSettings::Read(Fd, result, error)) {
            return Fail(error);
        }
        dcb = result;
        return TRUE;
    }

    BOOL Escape(DWORD function) {
        std::lock_guard lock(Lock);
        if (Closing) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        switch (function) {
        case SETDTR:
            return SetLine(TIOCM_DTR, true) ? TRUE : FALSE;
        case CLRDTR:
            return SetLine(TIOCM_DTR, false) ? TRUE : FALSE;
        default:
            return Fail(ERROR_INVALID_PARAMETER);
        }
    }

    BOOL ModemStatus(DWORD& status) {
        std::lock_guard lock(Lock);
        if (Closing) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        status = 0;
        if (!ModemLines) {
            return TRUE;
        }
        int lines = 0;
        if (Sys().Ioctl(Fd, TIOCMGET, &lines) != 0) {
            if (IsMissingModemLines(errno)) {
                ModemLines = false;
                return TRUE;
            }
            return FailWithErrno(errno);
        }
        status = StatusOf(lines);
        return TRUE;
    }

    BOOL ClearError(LPDWORD errors, LPCOMSTAT comStat) {
        std::lock_guard lock(Lock);
        if (Closing) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (errors != nullptr) {
            *errors = 0;
        }
        if (comStat != nullptr) {
            int in = 0;
            int out = 0;
            if (Sys().Ioctl(Fd, FIONREAD, &in) != 0 || in < 0) {
                in = 0;
            }
            if (Sys().Ioctl(Fd, TIOCOUTQ, &out) != 0 || out < 0) {
                out = 0;
            }
            comStat->cbInQue = static_cast<DWORD>(in);
            comStat->cbOutQue = static_cast<DWORD>(out);
        }
        return TRUE;
    }

    BOOL Alive() {
        std::lock_guard lock(Lock);
        return Closing ? Fail(ERROR_INVALID_HANDLE) : TRUE;
    }

private:
    static DWORD StatusOf(int lines) {
        DWORD status = 0;
        if ((lines & TIOCM_CTS) != 0) {
            status |= MS_CTS_ON;
        }
        if ((lines & TIOCM_DSR) != 0) {
            status |= MS_DSR_ON;
        }
        if ((lines & TIOCM_RI) != 0) {
            status |= MS_RING_ON;
        }
        if ((lines & TIOCM_CD) != 0) {
            status |= MS_RLSD_ON;
        }
        return status;
    }

    // Checks that the port is open and the record is fit for a new operation (Lock held).
    bool Usable(OVERLAPPED* record) {
        if (Closing) {
            Fail(ERROR_INVALID_HANDLE);
            return false;
        }
        if (record == nullptr) {
            Fail(ERROR_INVALID_PARAMETER);
            return false;
        }
        const auto uses = [record](const Operation& op) { return op.Record == record; };
        if (std::any_of(Reads.begin(), Reads.end(), uses) ||
            std::any_of(Writes.begin(), Writes.end(), uses) || (Watch && Watch->Record == record)) {
            Fail(ERROR_INVALID_PARAMETER);
            return false;
        }
        return true;
    }

    // Queues a read or write (Lock held). An empty transfer completes at once.
    BOOL Begin(Operation op, OVERLAPPED* record, std::deque<Operation>& queue) {
        op.Record = record;
        op.Starter = std::this_thread::get_id();
        if (record->hEvent != 0) {
            ResetEvent(record->hEvent);
        }
        if (op.Size == 0) {
            Finish(op, ERROR_SUCCESS, 0);
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        {
            std::lock_guard recordLock(Records().Lock);
            record->Internal = kStatusPending;
            record->InternalHigh = 0;
        }
        queue.push_back(std::move(op));
        Wake();
        return Fail(ERROR_IO_PENDING);
    }

    // Writes the outcome into the caller's record, then signals its event (Lock held).
    void Finish(Operation& op, DWORD error, DWORD mask) {
        if (op.Kind == OperationKind::Watch && op.EventMask != nullptr) {
            *op.EventMask = mask;
        }
        // Once the status is written the caller may reuse or free the record: nothing of it is read
        // after that. Setting an event the caller has closed meanwhile fails harmlessly.
        const HANDLE event = op.Record->hEvent;
        {
            std::lock_guard recordLock(Records().Lock);
            op.Record->Internal = error;
            op.Record->InternalHigh = op.Done;
        }
        Records().Done.notify_all();
        if (event != 0) {
            SetEvent(event);
        }
    }

    template <class Match> bool CancelMatching(Match match) {
        bool any = false;
        for (auto* queue : {&Reads, &Writes}) {
            for (auto it = queue->begin(); it != queue->end();) {
                if (match(*it)) {
                    Finish(*it, ERROR_OPERATION_ABORTED, 0);
                    it = queue->erase(it);
                    any = true;
                } else {
                    ++it;
                }
            }
        }
        if (Watch && match(*Watch)) {
            Finish(*Watch, ERROR_OPERATION_ABORTED, 0);
            Watch.reset();
            any = true;
        }
        return any;
    }

    void Wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(WakeFd, &one, sizeof one);
    }

    // Whether a pending line watch samples the lines. A device without them, or one whose lines can no
    // longer be read, leaves the watch pending at no cost.
    bool Sampling() const { return ModemLines && !SamplingStopped; }

    std::optional<int> ReadLines() {
        int lines = 0;
        if (Sys().Ioctl(Fd, TIOCMGET, &lines) != 0) {
            if (IsMissingModemLines(errno)) {
                ModemLines = false;
            } else {
                SamplingStopped = true;
            }
            return std::nullopt;
        }
        return lines;
    }

    // Raises or drops one modem-control line; a device without such lines accepts it as a no-op.
    bool SetLine(int line, bool raise) {
        if (Sys().Ioctl(Fd, raise ? TIOCMBIS : TIOCMBIC, &line) != 0 && !IsMissingModemLines(errno)) {
            FailWithErrno(errno);
            return false;
        }
        return true;
    }

    // Starts the time limits of the operations now at the front of their queues.
    void Activate(Clock::time_point now) {
        if (!Reads.empty() && !Reads.front().Active) {
            Operation& op = Reads.front();
            op.Active = true;
            op.Interval = Timeouts.ReadIntervalTimeout;
            const std::uint64_t total = std::uint64_t{Timeouts.ReadTotalTimeoutMultiplier} * op.Size +
                                        Timeouts.ReadTotalTimeoutConstant;
            if (Timeouts.ReadIntervalTimeout == 0xFFFFFFFFu && total == 0) {
                // Return at once with whatever has arrived.
                op.Interval = 0;
                op.TotalDeadline = now;
            } else if (total != 0) {
                op.TotalDeadline = now + std::chrono::milliseconds(total);
            }
        }
        if (!Writes.empty() && !Writes.front().Active) {
            Operation& op = Writes.front();
            op.Active = true;
            const std::uint64_t total = std::uint64_t{Timeouts.WriteTotalTimeoutMultiplier} * op.Size +
                                        Timeouts.WriteTotalTimeoutConstant;
            if (total != 0) {
                op.TotalDeadline = now + std::chrono::milliseconds(total);
            }
        }
    }

    std::optional<Clock::time_point> NextDeadline() const {
        std::optional<Clock::time_point> next;
        const auto consider = [&next](Clock::time_point t) {
            if (!next || t < *next) {
                next = t;
            }
        };
        if (!Reads.empty()) {
            const Operation& op = Reads.front();
            if (op.TotalDeadline) {
                consider(*op.TotalDeadline);
            }
            if (op.Done > 0 && op.Interval != 0 && op.Interval != 0xFFFFFFFFu) {
                consider(op.LastByte + std::chrono::milliseconds(op.Interval));
            }
        }
        if (!Writes.empty() && Writes.front().TotalDeadline) {
            consider(*Writes.front().TotalDeadline);
        }
        if (Watch && Sampling()) {
            consider(NextLineSample);
        }
        return next;
    }

    // The device has gone (end of file, hang-up or a hard error): fail what is pending and everything
    // started later, and stop polling the descriptor, which would report the hang-up forever.
    void GoDead(DWORD error) {
        Dead = true;
        DeadError = error;
        for (auto* queue : {&Reads, &Writes}) {
            for (Operation& op : *queue) {
                Finish(op, error, 0);
            }
            queue->clear();
        }
    }

    // `hungUp`: poll reported the other end gone, so a read of 0 bytes is the end of the line. Without
    // it a 0 only means an empty queue (a terminal left with VMIN 0 by someone else).
    void ReadAvailable(Clock::time_point now, bool hungUp) {
        while (!Reads.empty() && !Dead) {
            Operation& op = Reads.front();
            const ssize_t got = Sys().Read(Fd, op.ReadBuffer + op.Done, op.Size - op.Done);
            if (got > 0) {
                op.Done += static_cast<DWORD>(got);
                op.LastByte = now;
                if (op.Done == op.Size) {
                    Finish(op, ERROR_SUCCESS, 0);
                    Reads.pop_front();
                    Activate(now);
                }
                continue;
            }
            if (got == 0) {
                if (hungUp) {
                    GoDead(ERROR_DEVICE_REMOVED);
                }
                return;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                GoDead(ErrorFromErrno(errno));
            }
            return;
        }
    }

    void WriteAvailable(Clock::time_point now) {
        while (!Writes.empty() && !Dead) {
            Operation& op = Writes.front();
            const ssize_t put = Sys().Write(Fd, op.WriteBuffer + op.Done, op.Size - op.Done);
            if (put > 0) {
                op.Done += static_cast<DWORD>(put);
                if (op.Done == op.Size) {
                    Finish(op, ERROR_SUCCESS, 0);
                    Writes.pop_front();
                    Activate(now);
                }
                continue;
            }
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put < 0 && errno != EAGAIN) {
                GoDead(ErrorFromErrno(errno));
            }
            return;
        }
    }

    void CheckDeadlines(Clock::time_point now) {
        if (!Reads.empty()) {
            Operation& op = Reads.front();
            const bool total = op.TotalDeadline && now >= *op.TotalDeadline;
            const bool interval = op.Done > 0 && op.Interval != 0 && op.Interval != 0xFFFFFFFFu &&
                                  now - op.LastByte >= std::chrono::milliseconds(op.Interval);
            if (total || interval) {
                // A time-out ends a read successfully with the bytes it has, possibly none.
                Finish(op, ERROR_SUCCESS, 0);
                Reads.pop_front();
            }
        }
        if (!Writes.empty()) {
            Operation& op = Writes.front();
            if (op.TotalDeadline && now >= *op.TotalDeadline) {
                Finish(op, ERROR_SUCCESS, 0);
                Writes.pop_front();
            }
        }
        Activate(now);
    }

    void SampleLines(Clock::time_point now) {
        if (!Watch || !Sampling() || now < NextLineSample) {
            return;
        }
        NextLineSample = now + kModemPollInterval;
        const std::optional<int> lines = ReadLines();
        if (!lines) {
            return; // the watch stays pending, as on a device without modem lines
        }
        if ((Mask & EV_DSR) != 0 && ((*lines ^ Watch->LineState) & TIOCM_DSR) != 0) {
            Finish(*Watch, ERROR_SUCCESS, EV_DSR);
            Watch.reset();
        }
    }

    // The service thread: waits for the descriptor or the next time limit and completes operations.
    void Serve() {
        std::unique_lock lock(Lock);
        while (!Closing) {
            const Clock::time_point start = Clock::now();
            Activate(start);
            if (Watch && Sampling() && NextLineSample < start) {
                NextLineSample = start;
            }
            short events = 0;
            if (!Dead) {
                if (!Reads.empty()) {
                    events = static_cast<short>(events | POLLIN);
                }
                if (!Writes.empty()) {
                    events = static_cast<short>(events | POLLOUT);
                }
            }
            pollfd fds[2] = {{WakeFd, POLLIN, 0}, {events != 0 ? Fd : -1, events, 0}};
            const std::optional<Clock::time_point> deadline = NextDeadline();
            timespec wait{};
            if (deadline) {
                wait = PollTimeout(*deadline - start);
            }
            lock.unlock();
            const int ready = Sys().Poll(fds, 2, deadline ? &wait : nullptr);
            const int pollError = errno;
            lock.lock();
            if (Closing) {
                break;
            }
            if (ready < 0) {
                if (pollError != EINTR) {
                    GoDead(ErrorFromErrno(pollError));
                }
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const auto drained = ::read(WakeFd, &count, sizeof count);
            }
            const Clock::time_point now = Clock::now();
            const short revents = fds[1].revents;
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                ReadAvailable(now, (revents & (POLLHUP | POLLERR)) != 0);
            }
            if ((revents & (POLLOUT | POLLHUP | POLLERR)) != 0) {
                WriteAvailable(now);
            }
            if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && !Dead) {
                GoDead(ERROR_DEVICE_REMOVED);
            }
            CheckDeadlines(now);
            SampleLines(now);
        }
    }

    std::mutex Lock;
    int Fd;
    int WakeFd;
    bool ModemLines;
    bool SamplingStopped = false;
    bool Closing = false;
    bool Dead = false;
    DWORD DeadError = ERROR_SUCCESS;
    DWORD Mask = 0;
    COMMTIMEOUTS Timeouts{};
    DCB Control{};
    bool HaveControl = false;
    std::deque<Operation> Reads;
    std::deque<Operation> Writes;
    std::optional<Operation> Watch;
    Clock::time_point NextLineSample{};
    std::thread Service;
};

// Waits for an operation started without a caller's record to end, and reports it like a blocking call.
BOOL WaitBlocking(BOOL started, OVERLAPPED& record, LPDWORD count) {
    if (started) {
        if (count != nullptr) {
            *count = static_cast<DWORD>(record.InternalHigh);
        }
        return TRUE;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return FALSE;
    }
    std::unique_lock lock(Records().Lock);
    Records().Done.wait(lock, [&record] { return record.Internal != kStatusPending; });
    if (count != nullptr) {
        *count = static_cast<DWORD>(record.InternalHigh);
    }
    if (record.Internal != ERROR_SUCCESS) {
        return Fail(static_cast<DWORD>(record.Internal));
    }
    return TRUE;
}

} // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    // A port is always opened for reading and writing, overlapped and unshared, whatever is asked.
    (void)desiredAccess;
    (void)shareMode;
    (void)attributes;
    (void)flagsAndAttributes;
    (void)templateFile;
    if (fileName == nullptr || creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string_view name(fileName);
    if (name.substr(0, kDevicePrefix.size()) == kDevicePrefix) {
        name.remove_prefix(kDevicePrefix.size());
    }
    if (name.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    const auto refuse = [fd](DWORD error) {
        ::close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    };
    if (!::isatty(fd)) {
        return refuse(ERROR_NOT_SUPPORTED);
    }
    // Exclusive use: the lock first, so that a refused open leaves the holder's exclusive flag alone.
    // The flag keeps other programs out; the lock also stops the super-user, whom the flag does not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return refuse(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno));
    }
    if (Sys().Ioctl(fd, TIOCEXCL, nullptr) != 0 && errno != ENOTTY) {
        return refuse(ErrorFromErrno(errno));
    }
    int lines = 0;
    const bool modemLines = Sys().Ioctl(fd, TIOCMGET, &lines) == 0;
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        const int error = errno;
        Sys().Ioctl(fd, TIOCNXCL, nullptr);
        return refuse(ErrorFromErrno(error));
    }
    auto port = std::make_shared<Port>(fd, wakeFd, modemLines);
    port->Start();
    SetLastError(ERROR_SUCCESS);
    return AddHandle(std::move(port));
}

BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) {
    (void)inQueue;
    (void)outQueue;
    const auto object = Find<Port>(port);
    return object ? object->Alive() : FALSE;
}

BOOL GetCommState(HANDLE port, LPDCB dcb) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    return dcb != nullptr ? object->GetState(*dcb) : Fail(ERROR_INVALID_PARAMETER);
}

BOOL SetCommState(HANDLE port, LPDCB dcb) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    return dcb != nullptr ? object->SetState(*dcb) : Fail(ERROR_INVALID_PARAMETER);
}

BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    return timeouts != nullptr ? object->SetTimeouts(*timeouts) : Fail(ERROR_INVALID_PARAMETER);
}

BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    return timeouts != nullptr ? object->GetTimeouts(*timeouts) : Fail(ERROR_INVALID_PARAMETER);
}

BOOL SetCommMask(HANDLE port, DWORD eventMask) {
    const auto object = Find<Port>(port);
    return object ? object->SetMask(eventMask) : FALSE;
}

BOOL EscapeCommFunction(HANDLE port, DWORD function) {
    const auto object = Find<Port>(port);
    return object ? object->Escape(function) : FALSE;
}

BOOL GetCommModemStatus(HANDLE port, LPDWORD modemStatus) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    if (modemStatus == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD status = 0;
    const BOOL ok = object->ModemStatus(status);
    if (ok) {
        *modemStatus = status;
    }
    return ok;
}

BOOL WaitCommEvent(HANDLE port, LPDWORD eventMask, LPOVERLAPPED overlapped) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    if (overlapped != nullptr) {
        return object->StartWatch(eventMask, overlapped);
    }
    OVERLAPPED record{};
    return WaitBlocking(object->StartWatch(eventMask, &record), record, nullptr);
}

BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status) {
    const auto object = Find<Port>(port);
    return object ? object->ClearError(errors, status) : FALSE;
}

BOOL ReadFile(HANDLE port, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (buffer == nullptr && bytesToRead != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    BYTE* bytes = static_cast<BYTE*>(buffer);
    if (overlapped != nullptr) {
        const BOOL done = object->StartRead(bytes, bytesToRead, overlapped);
        if (done && bytesRead != nullptr) {
            *bytesRead = static_cast<DWORD>(overlapped->InternalHigh);
        }
        return done;
    }
    OVERLAPPED record{};
    return WaitBlocking(object->StartRead(bytes, bytesToRead, &record), record, bytesRead);
}

BOOL WriteFile(HANDLE port, const void* buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    if (buffer == nullptr && bytesToWrite != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const BYTE* bytes = static_cast<const BYTE*>(buffer);
    if (overlapped != nullptr) {
        const BOOL done = object->StartWrite(bytes, bytesToWrite, overlapped);
        if (done && bytesWritten != nullptr) {
            *bytesWritten = static_cast<DWORD>(overlapped->InternalHigh);
        }
        return done;
    }
    OVERLAPPED record{};
    return WaitBlocking(object->StartWrite(bytes, bytesToWrite, &record), record, bytesWritten);
}

// Reads the outcome from the record alone, so it still answers after the port was closed (its pending
// operations were then completed as aborted).
BOOL GetOverlappedResult(HANDLE port, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL bWait) {
    if (overlapped == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::unique_lock lock(Records().Lock);
    if (overlapped->Internal == kStatusPending) {
        if (!bWait) {
            return Fail(ERROR_IO_INCOMPLETE);
        }
        lock.unlock();
        // Only a live port can still complete it.
        if (!Find<Port>(port)) {
            return FALSE;
        }
        lock.lock();
        Records().Done.wait(lock, [overlapped] { return overlapped->Internal != kStatusPending; });
    }
    if (bytesTransferred != nullptr) {
        *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    }
    if (overlapped->Internal != ERROR_SUCCESS) {
        return Fail(static_cast<DWORD>(overlapped->Internal));
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CancelIo(HANDLE port) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    const auto self = std::this_thread::get_id();
    object->Cancel([self](const Operation& op) { return op.Starter == self; });
    return object->Alive();
}

BOOL CancelIoEx(HANDLE port, LPOVERLAPPED overlapped) {
    const auto object = Find<Port>(port);
    if (!object) {
        return FALSE;
    }
    const bool any = object->Cancel(
        [overlapped](const Operation& op) { return overlapped == nullptr || op.Record == overlapped; });
    if (!any) {
        return object->Alive() ? Fail(ERROR_NOT_FOUND) : FALSE;
    }
    return TRUE;
}
