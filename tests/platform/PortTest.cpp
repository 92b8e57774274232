// Serial ports on pseudo-terminals: opening, line settings, control lines, overlapped reads and
// writes with their time-outs, cancellation, a vanished device, and injected system-call faults.
#include "PtyPair.h"

#include "platform/SystemCalls.h"
#include "platform/Win32Api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <numeric>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Generous: how long a test waits for something that should happen within milliseconds.
constexpr DWORD kPatience = 5000;

HANDLE OpenPort(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, 0);
}

Bytes Pattern(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + 3) & 0xFF);
    }
    return bytes;
}

// A record with its own event.
struct Overlapped {
    Overlapped() { Record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(Record.hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool Wait(DWORD ms = kPatience) const { return WaitForSingleObject(Record.hEvent, ms) == WAIT_OBJECT_0; }
    OVERLAPPED Record{};
};

// A pty whose slave is open as a port configured as the instrument link uses it.
class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Pty.Ok()) {
            GTEST_SKIP() << "no pseudo-terminal available (" << Pty.Error << "); these tests need /dev/ptmx";
        }
        Port = OpenPort(Pty.SlavePath);
        ASSERT_NE(Port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        DCB dcb{};
        ASSERT_TRUE(BuildCommDCBA("115200,n,8,2", &dcb));
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        ASSERT_TRUE(SetCommState(Port, &dcb)) << "error " << GetLastError();
        SetTimeouts(20, 20, 50);
    }

    void TearDown() override {
        if (Port != INVALID_HANDLE_VALUE) {
            CloseHandle(Port);
        }
    }

    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 20,
                     DWORD writeConstant = 20) {
        COMMTIMEOUTS timeouts{interval, multiplier, constant, writeMultiplier, writeConstant};
        ASSERT_TRUE(SetCommTimeouts(Port, &timeouts));
    }

    // Starts a read that must go pending.
    void StartRead(std::uint8_t* buffer, DWORD count, Overlapped& op) {
        DWORD got = 0;
        const BOOL done = ReadFile(Port, buffer, count, &got, &op.Record);
        ASSERT_FALSE(done);
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }

    PtyPair Pty;
    HANDLE Port = INVALID_HANDLE_VALUE;
};

TEST_F(PortTest, LineSettingsReachTheTerminal) {
    termios tio{};
    ASSERT_EQ(::tcgetattr(Pty.Master, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B115200);
    EXPECT_EQ(::cfgetispeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & PARENB, 0u);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << "not raw";
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    DCB back{};
    ASSERT_TRUE(GetCommState(Port, &back));
    EXPECT_EQ(back.BaudRate, 115200u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(back.fOutxCtsFlow, 0u);
}

TEST_F(PortTest, OtherSettingsApplyAndUnsupportedOnesFail) {
    DCB dcb{};
    ASSERT_TRUE(BuildCommDCBA("9600,n,8,1", &dcb));
    ASSERT_TRUE(SetCommState(Port, &dcb)) << GetLastError();
    termios tio{};
    ASSERT_EQ(::tcgetattr(Pty.Master, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);

    DCB bad = dcb;
    bad.BaudRate = 12345;
    EXPECT_FALSE(SetCommState(Port, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    bad = dcb;
    bad.ByteSize = 9;
    EXPECT_FALSE(SetCommState(Port, &bad));
    ASSERT_EQ(::tcgetattr(Pty.Master, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B9600) << "a refused setting must leave the line as it was";

    // Some terminals cannot carry every framing (pseudo-terminals keep 8 bits without parity):
    // success is reported only when the terminal took the setting.
    ASSERT_TRUE(BuildCommDCBA("9600,e,7,1", &dcb));
    const BOOL ok = SetCommState(Port, &dcb);
    const DWORD error = GetLastError();
    ASSERT_EQ(::tcgetattr(Pty.Master, &tio), 0);
    const bool took = (tio.c_cflag & CSIZE) == CS7 && (tio.c_cflag & PARENB) != 0;
    EXPECT_EQ(ok != FALSE, took);
    if (!ok) {
        EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    }
}

TEST_F(PortTest, OpenIsExclusiveUntilClosed) {
    const HANDLE second = OpenPort(Pty.SlavePath);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_ACCESS_DENIED)
        << GetLastError();
    // Another program is kept out as well: by the terminal's exclusive flag, and (the super-user, whom
    // the flag does not stop) by the lock.
    const auto exclusiveFlag = [this] {
        const int fd = ::open(Pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int flag = -1;
        if (fd >= 0) {
            if (::ioctl(fd, TIOCGEXCL, &flag) != 0) {
                flag = -1;
            }
            ::close(fd);
        }
        return flag;
    };
    const int fd = ::open(Pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
    }
    if (::geteuid() == 0) {
        EXPECT_EQ(exclusiveFlag(), 1);
    }

    ASSERT_TRUE(CloseHandle(Port));
    if (::geteuid() == 0) {
        EXPECT_EQ(exclusiveFlag(), 0) << "the exclusive flag outlived the port on a terminal still in use";
    }
    Port = OpenPort("\\\\.\\" + Pty.SlavePath);
    EXPECT_NE(Port, INVALID_HANDLE_VALUE)
        << "the device prefix is stripped and the port free again, error " << GetLastError();
}

struct RefusedOpen {
    const char* Name;
    std::string Path;
    DWORD Error;
};

class RefusedOpenTest : public ::testing::TestWithParam<RefusedOpen> {};

TEST_P(RefusedOpenTest, Fails) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenPort(GetParam().Path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), GetParam().Error);
}

// A regular file of this test process's own (the name carries the process id, so runs by other users
// never collide in the shared temporary folder), removed when the process ends.
std::string RegularFile() {
    struct File {
        std::string Path = ::testing::TempDir() + "pw_port_regular_file_" + std::to_string(::getpid());
        File() {
            if (FILE* f = std::fopen(Path.c_str(), "w")) {
                std::fputs("not a terminal\n", f);
                std::fclose(f);
            }
        }
        ~File() { ::unlink(Path.c_str()); }
    };
    static const File file;
    return file.Path;
}

const RefusedOpen kRefusedOpens[] = {
    {"Missing", "/dev/pagewright-no-such-port", ERROR_FILE_NOT_FOUND},
    {"MissingWithPrefix", "\\\\.\\/dev/pagewright-no-such-port", ERROR_FILE_NOT_FOUND},
    {"Empty", "", ERROR_FILE_NOT_FOUND},
    {"RegularFile", RegularFile(), ERROR_NOT_SUPPORTED},
    {"NotATerminal", "/dev/null", ERROR_NOT_SUPPORTED},
};

INSTANTIATE_TEST_SUITE_P(Port, RefusedOpenTest, ::testing::ValuesIn(kRefusedOpens),
                         [](const ::testing::TestParamInfo<RefusedOpen>& c) { return c.param.Name; });

// A closed handle must fail, even when its descriptor number now belongs to another file.
TEST_F(PortTest, ClosedHandleNeverReachesAnotherFile) {
    ASSERT_TRUE(CloseHandle(Port));
    const HANDLE stale = Port;
    Port = INVALID_HANDLE_VALUE;
    const std::string path = ::testing::TempDir() + "pw_port_reused_fd_" + std::to_string(::getpid());
    std::vector<int> fds;
    for (int i = 0; i < 8; ++i) { // take the freed descriptor numbers, whichever they were
        fds.push_back(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    }
    const Bytes data = Pattern(16);
    Overlapped op;
    DWORD count = 99;
    EXPECT_FALSE(WriteFile(stale, data.data(), 16, &count, &op.Record));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    std::uint8_t buffer[16] = {};
    EXPECT_FALSE(ReadFile(stale, buffer, 16, &count, &op.Record));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DCB dcb{};
    EXPECT_FALSE(GetCommState(stale, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(EscapeCommFunction(stale, CLRDTR));
    EXPECT_FALSE(ClearCommError(stale, nullptr, nullptr));
    EXPECT_FALSE(CancelIo(stale));
    EXPECT_FALSE(CloseHandle(stale));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    for (const int fd : fds) {
        struct stat st {};
        ASSERT_EQ(::fstat(fd, &st), 0);
        EXPECT_EQ(st.st_size, 0) << "bytes reached the file behind descriptor " << fd;
        ::close(fd);
    }
    ::unlink(path.c_str());
}

TEST_F(PortTest, PtyHasNoModemLines) {
    DWORD status = 0xFFFF;
    ASSERT_TRUE(GetCommModemStatus(Port, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(EscapeCommFunction(Port, SETDTR));
    EXPECT_TRUE(EscapeCommFunction(Port, CLRDTR));
    EXPECT_FALSE(EscapeCommFunction(Port, 99));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

enum class CancelBy { CancelIo, CancelIoExRecord, CancelIoExAll, CloseHandle };

struct WatchCase {
    const char* Name;
    CancelBy How;
};

class LineWatchTest : public PortTest, public ::testing::WithParamInterface<WatchCase> {};

// On a device without modem lines the DSR watch never completes by itself, and its cancellation
// completes it as aborted.
TEST_P(LineWatchTest, StaysPendingUntilCancelled) {
    ASSERT_TRUE(SetCommMask(Port, EV_DSR));
    Overlapped op;
    DWORD mask = 0xABCD;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &op.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(op.Wait(150));
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(Port, &op.Record, &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    // A second watch while one is pending is refused.
    Overlapped other;
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &other.Record));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    switch (GetParam().How) {
    case CancelBy::CancelIo:
        ASSERT_TRUE(CancelIo(Port));
        break;
    case CancelBy::CancelIoExRecord:
        ASSERT_TRUE(CancelIoEx(Port, &op.Record));
        break;
    case CancelBy::CancelIoExAll:
        ASSERT_TRUE(CancelIoEx(Port, nullptr));
        break;
    case CancelBy::CloseHandle:
        ASSERT_TRUE(CloseHandle(Port));
        break;
    }
    // Completed by the time the call returned.
    EXPECT_TRUE(op.Wait(0));
    EXPECT_FALSE(GetOverlappedResult(Port, &op.Record, &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    if (GetParam().How == CancelBy::CloseHandle) {
        Port = INVALID_HANDLE_VALUE;
    }
}

const WatchCase kWatchCases[] = {
    {"CancelIo", CancelBy::CancelIo},
    {"CancelIoExRecord", CancelBy::CancelIoExRecord},
    {"CancelIoExAll", CancelBy::CancelIoExAll},
    {"CloseHandle", CancelBy::CloseHandle},
};

INSTANTIATE_TEST_SUITE_P(Port, LineWatchTest, ::testing::ValuesIn(kWatchCases),
                         [](const ::testing::TestParamInfo<WatchCase>& c) { return c.param.Name; });

TEST_F(PortTest, ReadCompletesOnTheCount) {
    SetTimeouts(20, 20, 50);
    std::array<std::uint8_t, 10> buffer{};
    Overlapped op;
    StartRead(buffer.data(), 10, op);
    const Bytes sent = Pattern(25);
    ASSERT_TRUE(Pty.Send(sent));
    ASSERT_TRUE(op.Wait());
    DWORD count = 0;
    ASSERT_TRUE(GetOverlappedResult(Port, &op.Record, &count, FALSE));
    EXPECT_EQ(count, 10u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), sent.begin()));

    // The rest is there for the next read, in order.
    std::array<std::uint8_t, 15> rest{};
    Overlapped next;
    const BOOL done = ReadFile(Port, rest.data(), 15, &count, &next.Record);
    ASSERT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
    ASSERT_TRUE(next.Wait());
    ASSERT_TRUE(GetOverlappedResult(Port, &next.Record, &count, FALSE));
    EXPECT_EQ(count, 15u);
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), sent.begin() + 10));
}

TEST_F(PortTest, ReadEndsOnTheIntervalAfterBytes) {
    SetTimeouts(20, 0, 60000); // only the interval can end this read soon
    std::array<std::uint8_t, 80> buffer{};
    Overlapped op;
    StartRead(buffer.data(), 80, op);
    const Bytes sent = Pattern(12);
    ASSERT_TRUE(Pty.Send(sent));
    ASSERT_TRUE(op.Wait(kPatience)) << "the 20 ms interval did not end the read";
    DWORD count = 0;
    ASSERT_TRUE(GetOverlappedResult(Port, &op.Record, &count, FALSE)) << GetLastError();
    EXPECT_EQ(count, 12u);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
}

TEST_F(PortTest, SilentLineEndsOnTheTotalTimeOutWithNothing) {
    SetTimeouts(20, 1, 100); // 80 x 1 + 100 = 180 ms; the interval does not run before a first byte
    std::array<std::uint8_t, 80> buffer{};
    buffer.fill(0x5A);
    Overlapped op;
    const auto start = Clock::now();
    StartRead(buffer.data(), 80, op);
    ASSERT_TRUE(op.Wait());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(180));
    DWORD count = 99;
    ASSERT_TRUE(GetOverlappedResult(Port, &op.Record, &count, FALSE)) << "a time-out is not an error";
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0x5A; }));
}

TEST_F(PortTest, WriteOfSeveralKilobytesArrivesIntact) {
    SetTimeouts(20, 20, 50, 20, 1000);
    const Bytes sent = Pattern(6000);
    Overlapped op;
    DWORD count = 0;
    const BOOL done = WriteFile(Port, sent.data(), static_cast<DWORD>(sent.size()), &count, &op.Record);
    ASSERT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
    const Bytes got = Pty.Receive(sent.size(), std::chrono::milliseconds(kPatience));
    ASSERT_TRUE(op.Wait());
    ASSERT_TRUE(GetOverlappedResult(Port, &op.Record, &count, FALSE));
    EXPECT_EQ(count, sent.size());
    EXPECT_EQ(got, sent);
}

TEST_F(PortTest, WritesQueueInOrder) {
    const Bytes first = Pattern(300);
    const Bytes second(50, 0xEE);
    Overlapped a;
    Overlapped b;
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(Port, first.data(), 300, &count, &a.Record) || GetLastError() == ERROR_IO_PENDING);
    ASSERT_TRUE(WriteFile(Port, second.data(), 50, &count, &b.Record) || GetLastError() == ERROR_IO_PENDING);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(Pty.Receive(expected.size(), std::chrono::milliseconds(kPatience)), expected);
    ASSERT_TRUE(a.Wait());
    ASSERT_TRUE(b.Wait());
}

// Polls `condition` every few milliseconds until it holds or `limit` ms have passed; for states that
// signal no event (bytes arriving in a terminal's queue).
template <class Condition> bool WaitUntil(Condition condition, DWORD limit = kPatience) {
    const HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto end = Clock::now() + std::chrono::milliseconds(limit);
    bool held = condition();
    while (!held && Clock::now() < end) {
        WaitForSingleObject(never, 2);
        held = condition();
    }
    CloseHandle(never);
    return held;
}

DWORD InQueue(HANDLE port) {
    COMSTAT stat{};
    return ClearCommError(port, nullptr, &stat) ? stat.cbInQue : 0xFFFFFFFFu;
}

TEST_F(PortTest, ClearCommErrorReportsQueues) {
    ASSERT_TRUE(Pty.Send(Pattern(7)));
    EXPECT_TRUE(WaitUntil([this] { return InQueue(Port) == 7; })) << InQueue(Port);
    COMSTAT stat{};
    DWORD errors = 99;
    ASSERT_TRUE(ClearCommError(Port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 7u);
    EXPECT_TRUE(ClearCommError(Port, nullptr, nullptr));
}

// The instrument's side going away fails the read (never a successful empty one), fails later reads
// at once, and costs no processor time.
TEST_F(PortTest, VanishedDeviceFailsTheReadWithoutSpinning) {
    SetTimeouts(0, 0, 0); // no time-out: only the count or the device's end can end the read
    ASSERT_TRUE(SetCommMask(Port, EV_DSR));
    Overlapped watch;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &watch.Record));

    // Five bytes wait in the terminal, are taken by the read, and then the device disappears.
    ASSERT_TRUE(Pty.Send(Pattern(5)));
    ASSERT_TRUE(WaitUntil([this] { return InQueue(Port) == 5; }));
    std::array<std::uint8_t, 80> buffer{};
    Overlapped op;
    StartRead(buffer.data(), 80, op);
    ASSERT_TRUE(WaitUntil([this] { return InQueue(Port) == 0; }));
    Pty.CloseMaster();

    ASSERT_TRUE(op.Wait()) << "the read did not end when the device went away";
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(Port, &op.Record, &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
    EXPECT_EQ(count, 5u) << "the bytes got before the end are reported";
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 5, Pattern(5).begin()));

    Overlapped again;
    EXPECT_FALSE(ReadFile(Port, buffer.data(), 80, &count, &again.Record));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
    EXPECT_FALSE(WriteFile(Port, buffer.data(), 4, &count, &again.Record));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);

    // With the device gone, a pending line watch and the service loop must cost (almost) nothing.
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    EXPECT_FALSE(watch.Wait(1000)) << "the watch stays pending";
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    const auto cpu = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1'000'000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    EXPECT_LT(cpu(after) - cpu(before), 100'000L) << "microseconds of processor time in one idle second";
}

// After CancelIo returns, the cancelled read's buffer and record are left alone, however much arrives.
TEST_F(PortTest, CancelledReadIsNeverWrittenAgain) {
    SetTimeouts(0, 0, 0);
    std::atomic<bool> feeding{true};
    // The feeder never blocks in write(): once the reads stop, nobody empties the terminal.
    ASSERT_EQ(::fcntl(Pty.Master, F_SETFL, ::fcntl(Pty.Master, F_GETFL) | O_NONBLOCK), 0);
    std::thread feeder([this, &feeding] {
        const Bytes chunk = Pattern(16);
        while (feeding) {
            pollfd fd{Pty.Master, POLLOUT, 0};
            if (::poll(&fd, 1, 10) > 0) {
                [[maybe_unused]] const auto n = ::write(Pty.Master, chunk.data(), chunk.size());
            }
        }
    });
    for (int round = 0; round < 50; ++round) {
        std::array<std::uint8_t, 4096> buffer{};
        Overlapped op;
        DWORD count = 0;
        if (ReadFile(Port, buffer.data(), static_cast<DWORD>(buffer.size()), &count, &op.Record)) {
            continue;
        }
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(CancelIo(Port));
        const auto snapshot = buffer;
        const OVERLAPPED record = op.Record;
        ASSERT_TRUE(op.Wait(0));
        // It may have completed just before the cancel; either way it is over.
        EXPECT_TRUE(record.Internal == ERROR_OPERATION_ABORTED || record.Internal == ERROR_SUCCESS);

        // A later read that completes proves the service loop went on reading meanwhile.
        std::array<std::uint8_t, 64> later{};
        Overlapped next;
        ASSERT_TRUE(ReadFile(Port, later.data(), 64, &count, &next.Record) ||
                    GetLastError() == ERROR_IO_PENDING);
        ASSERT_TRUE(next.Wait());
        ASSERT_EQ(buffer, snapshot) << "round " << round;
        ASSERT_EQ(op.Record.Internal, record.Internal);
        ASSERT_EQ(op.Record.InternalHigh, record.InternalHigh);
    }
    feeding = false;
    feeder.join();
}

// CancelIo cancels only what the calling thread started; CancelIoEx picks one record.
TEST_F(PortTest, CancelIoIsPerThreadAndCancelIoExPerRecord) {
    SetTimeouts(0, 0, 0);
    ASSERT_TRUE(SetCommMask(Port, EV_DSR));
    Overlapped watch;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &watch.Record));

    std::array<std::uint8_t, 8> buffer{};
    Overlapped read;
    std::thread other([&] {
        DWORD count = 0;
        ReadFile(Port, buffer.data(), 8, &count, &read.Record);
    });
    other.join();
    ASSERT_TRUE(CancelIo(Port));
    EXPECT_TRUE(watch.Wait(0));
    EXPECT_FALSE(read.Wait(50)) << "another thread's read was cancelled";

    EXPECT_FALSE(CancelIoEx(Port, &watch.Record)) << "nothing pending on that record any more";
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    ASSERT_TRUE(CancelIoEx(Port, &read.Record));
    EXPECT_TRUE(read.Wait(0));
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(Port, &read.Record, &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(PortTest, StartedOperationResetsItsEvent) {
    Overlapped op;
    ASSERT_TRUE(SetEvent(op.Record.hEvent));
    std::array<std::uint8_t, 4> buffer{};
    StartRead(buffer.data(), 4, op);
    EXPECT_FALSE(op.Wait(0));
    ASSERT_TRUE(CancelIo(Port));
}

TEST_F(PortTest, BlockingCallsWithoutRecord) {
    const Bytes sent = Pattern(6);
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(Port, sent.data(), 6, &count, nullptr));
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(Pty.Receive(6, std::chrono::milliseconds(kPatience)), sent);
    ASSERT_TRUE(Pty.Send(sent));
    std::array<std::uint8_t, 6> buffer{};
    ASSERT_TRUE(ReadFile(Port, buffer.data(), 6, &count, nullptr));
    EXPECT_EQ(count, 6u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), sent.begin()));
}

// ---- Injected system-call faults ----

std::atomic<int> FaultsLeft{0};
std::atomic<int> FaultErrno{0};

ssize_t ShortWrite(int fd, const void* buffer, size_t count) {
    // Every other call would block; the others take one byte at most.
    static std::atomic<unsigned> calls{0};
    if ((calls++ & 1u) == 0) {
        errno = EAGAIN;
        return -1;
    }
    return RealSystemCalls().Write(fd, buffer, count > 0 ? 1 : 0);
}

ssize_t FaultyRead(int fd, void* buffer, size_t count) {
    if (FaultsLeft.fetch_sub(1) > 0) {
        errno = FaultErrno;
        return -1;
    }
    return RealSystemCalls().Read(fd, buffer, count);
}

int InterruptedPoll(pollfd* fds, nfds_t count, const timespec* timeout) {
    static std::atomic<unsigned> calls{0};
    if ((calls++ % 3u) == 0) {
        errno = EINTR;
        return -1;
    }
    return RealSystemCalls().Poll(fds, count, timeout);
}

class InjectedFaultTest : public PortTest {
protected:
    void TearDown() override {
        PortTest::TearDown();
        SetSystemCalls(nullptr);
    }
    void Install(SystemCalls calls) {
        Calls = calls;
        SetSystemCalls(&Calls);
    }
    SystemCalls Calls{};
};

TEST_F(InjectedFaultTest, ShortWritesAreCompleted) {
    SystemCalls calls = RealSystemCalls();
    calls.Write = ShortWrite;
    calls.Poll = InterruptedPoll;
    Install(calls);
    SetTimeouts(20, 20, 50, 0, 0);
    const Bytes sent = Pattern(700);
    Overlapped op;
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(Port, sent.data(), 700, &count, &op.Record) || GetLastError() == ERROR_IO_PENDING);
    EXPECT_EQ(Pty.Receive(sent.size(), std::chrono::milliseconds(kPatience)), sent);
    ASSERT_TRUE(op.Wait());
    ASSERT_TRUE(GetOverlappedResult(Port, &op.Record, &count, FALSE));
    EXPECT_EQ(count, 700u);
}

struct ReadFault {
    const char* Name;
    int Errno;
    int Times;
    bool Fails;
};

class ReadFaultTest : public InjectedFaultTest, public ::testing::WithParamInterface<ReadFault> {};

TEST_P(ReadFaultTest, ReadOutcome) {
    SystemCalls calls = RealSystemCalls();
    calls.Read = FaultyRead;
    calls.Poll = InterruptedPoll;
    Install(calls);
    SetTimeouts(0, 0, 0);
    FaultErrno = GetParam().Errno;
    FaultsLeft = GetParam().Times;
    const Bytes sent = Pattern(20);
    std::array<std::uint8_t, 20> buffer{};
    Overlapped op;
    StartRead(buffer.data(), 20, op);
    ASSERT_TRUE(Pty.Send(sent));
    ASSERT_TRUE(op.Wait());
    DWORD count = 0;
    const BOOL ok = GetOverlappedResult(Port, &op.Record, &count, FALSE);
    if (GetParam().Fails) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
        EXPECT_FALSE(ReadFile(Port, buffer.data(), 20, &count, &op.Record)) << "a vanished device stays gone";
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
    } else {
        ASSERT_TRUE(ok);
        EXPECT_EQ(count, 20u);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), sent.begin()));
    }
}

const ReadFault kReadFaults[] = {
    {"Interrupted", EINTR, 5, false},
    {"WouldBlock", EAGAIN, 5, false},
    {"DeviceGone", EIO, 1, true},
    {"NoDevice", ENXIO, 1, true},
};

INSTANTIATE_TEST_SUITE_P(Port, ReadFaultTest, ::testing::ValuesIn(kReadFaults),
                         [](const ::testing::TestParamInfo<ReadFault>& c) { return c.param.Name; });

// A device with modem lines, played through the system-call table: the lines live in `FakeLines`.
std::atomic<int> FakeLines{0};
std::atomic<int> FakeLineError{0};

int FakeModemIoctl(int fd, unsigned long request, void* argument) {
    int* bits = static_cast<int*>(argument);
    switch (request) {
    case TIOCMGET:
        if (FakeLineError != 0) {
            errno = FakeLineError;
            return -1;
        }
        *bits = FakeLines;
        return 0;
    case TIOCMBIS:
        FakeLines |= *bits;
        return 0;
    case TIOCMBIC:
        FakeLines &= ~*bits;
        return 0;
    default:
        return RealSystemCalls().Ioctl(fd, request, argument);
    }
}

class ModemLineTest : public InjectedFaultTest {
protected:
    void SetUp() override {
        FakeLines = 0;
        FakeLineError = 0;
        SystemCalls calls = RealSystemCalls();
        calls.Ioctl = FakeModemIoctl;
        Install(calls); // before the port opens, so that it is seen to have modem lines
        PortTest::SetUp();
    }
};

TEST_F(ModemLineTest, DtrFollowsTheSettingsAndEscapes) {
    EXPECT_NE(FakeLines & TIOCM_DTR, 0) << "DTR_CONTROL_ENABLE raises DTR";
    EXPECT_EQ(FakeLines & TIOCM_RTS, 0) << "RTS_CONTROL_DISABLE drops RTS";
    ASSERT_TRUE(EscapeCommFunction(Port, CLRDTR));
    EXPECT_EQ(FakeLines & TIOCM_DTR, 0);
    ASSERT_TRUE(EscapeCommFunction(Port, SETDTR));
    EXPECT_NE(FakeLines & TIOCM_DTR, 0);
}

TEST_F(ModemLineTest, StatusReportsTheLines) {
    FakeLines = TIOCM_DSR | TIOCM_CTS | TIOCM_CD | TIOCM_RI;
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(Port, &status));
    EXPECT_EQ(status, MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON | MS_RING_ON);
    FakeLines = TIOCM_CTS;
    ASSERT_TRUE(GetCommModemStatus(Port, &status));
    EXPECT_EQ(status, MS_CTS_ON);
    FakeLineError = EIO;
    EXPECT_FALSE(GetCommModemStatus(Port, &status)) << "a device that vanished cannot report its lines";
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
}

TEST_F(ModemLineTest, WatchCompletesWhenDsrChanges) {
    ASSERT_TRUE(SetCommMask(Port, EV_DSR));
    for (const int dsr : {TIOCM_DSR, 0}) {
        Overlapped watch;
        DWORD mask = 0;
        ASSERT_FALSE(WaitCommEvent(Port, &mask, &watch.Record));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        FakeLines ^= TIOCM_CTS; // another line changing is not a DSR event
        EXPECT_FALSE(watch.Wait(150));
        FakeLines = (FakeLines & ~TIOCM_DSR) | dsr;
        ASSERT_TRUE(watch.Wait()) << "DSR " << (dsr != 0 ? "on" : "off") << " not seen";
        DWORD count = 0;
        ASSERT_TRUE(GetOverlappedResult(Port, &watch.Record, &count, FALSE));
        EXPECT_EQ(mask, EV_DSR);
    }
}

TEST_F(ModemLineTest, WatchStaysPendingWhenTheLinesCannotBeRead) {
    ASSERT_TRUE(SetCommMask(Port, EV_DSR));
    Overlapped watch;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &watch.Record));
    FakeLineError = EIO;
    FakeLines = TIOCM_DSR;
    EXPECT_FALSE(watch.Wait(300));
    ASSERT_TRUE(CancelIo(Port));
    EXPECT_TRUE(watch.Wait(0));
}

// A write that the device does not take in time ends on its total time-out, successfully, with the
// count that went out.
TEST_F(PortTest, WriteEndsOnItsTotalTimeOutWithAPartialCount) {
    SetTimeouts(20, 20, 50, 0, 200);
    const Bytes sent = Pattern(256 * 1024); // far more than a terminal buffers while nobody reads
    Overlapped op;
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(Port, sent.data(), static_cast<DWORD>(sent.size()), &count, &op.Record) ||
                GetLastError() == ERROR_IO_PENDING);
    ASSERT_TRUE(op.Wait());
    ASSERT_TRUE(GetOverlappedResult(Port, &op.Record, &count, FALSE)) << GetLastError();
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, sent.size());
    const Bytes got = Pty.Receive(count, std::chrono::milliseconds(kPatience));
    EXPECT_EQ(got.size(), count);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin()));
}

// ---- The textual line definition ----

struct Definition {
    const char* Name;
    const char* Text;
    bool Valid;
    DWORD Baud;
    BYTE Parity;
    BYTE ByteSize;
    BYTE StopBits;
};

class BuildCommDcbTest : public ::testing::TestWithParam<Definition> {};

TEST_P(BuildCommDcbTest, Parses) {
    const Definition& d = GetParam();
    DCB dcb{};
    dcb.BaudRate = 1234;
    dcb.ByteSize = 6;
    const BOOL ok = BuildCommDCBA(d.Text, &dcb);
    ASSERT_EQ(ok != FALSE, d.Valid);
    if (!d.Valid) {
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(dcb.BaudRate, 1234u) << "a refused text leaves the block alone";
        EXPECT_EQ(dcb.ByteSize, 6);
        return;
    }
    EXPECT_EQ(dcb.BaudRate, d.Baud);
    EXPECT_EQ(dcb.Parity, d.Parity);
    EXPECT_EQ(dcb.ByteSize, d.ByteSize);
    EXPECT_EQ(dcb.StopBits, d.StopBits);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, d.Parity != NOPARITY ? 1u : 0u);
}

const Definition kDefinitions[] = {
    {"Instrument", "115200,n,8,2", true, 115200, NOPARITY, 8, TWOSTOPBITS},
    {"UpperCaseAndBlanks", " 9600, E ,7,1", true, 9600, EVENPARITY, 7, ONESTOPBIT},
    {"Odd", "19200,o,8,1", true, 19200, ODDPARITY, 8, ONESTOPBIT},
    {"KeyValue", "baud=115200 parity=N data=8 stop=2", true, 115200, NOPARITY, 8, TWOSTOPBITS},
    {"Empty", "", false, 0, 0, 0, 0},
    {"MissingField", "115200,n,8", false, 0, 0, 0, 0},
    {"BadParity", "115200,x,8,2", false, 0, 0, 0, 0},
    {"BadData", "115200,n,9,2", false, 0, 0, 0, 0},
    {"BadStop", "115200,n,8,3", false, 0, 0, 0, 0},
    {"BadBaud", "fast,n,8,2", false, 0, 0, 0, 0},
    {"ZeroBaud", "0,n,8,2", false, 0, 0, 0, 0},
    {"UnknownKey", "baud=9600 speed=2", false, 0, 0, 0, 0},
    {"KeyValueWithoutBaud", "parity=n data=8", false, 0, 0, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Port, BuildCommDcbTest, ::testing::ValuesIn(kDefinitions),
                         [](const ::testing::TestParamInfo<Definition>& c) { return c.param.Name; });

} // namespace
