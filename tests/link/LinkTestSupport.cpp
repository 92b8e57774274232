// Helpers for the link tests: pseudo-terminals, serving synchronised calls, CPU time.
#include "LinkTestSupport.h"

#include "platform/TThread.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace LinkTest {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

} // namespace

PtyPair::PtyPair() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        close(master);
        return;
    }
    FMaster = master;
    FSlavePath = name;
}

PtyPair::~PtyPair() {
    CloseMaster();
}

void PtyPair::CloseMaster() {
    if (FMaster >= 0)
        close(FMaster);
    FMaster = -1;
}

bool PtyPair::Write(const ByteBuffer& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(FMaster, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

ByteBuffer PtyPair::Read(std::size_t count, std::chrono::milliseconds limit) {
    ByteBuffer got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < count) {
        pollfd pfd{FMaster, POLLIN, 0};
        const int ready = poll(&pfd, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (pfd.revents & POLLIN) == 0)
            break;
        std::uint8_t chunk[4096];
        const std::size_t want = std::min(sizeof chunk, count - got.size());
        const ssize_t n = read(FMaster, chunk, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

bool PtyPair::WaitReadable(std::chrono::milliseconds limit) {
    pollfd pfd{FMaster, POLLIN, 0};
    return poll(&pfd, 1, static_cast<int>(limit.count())) > 0 && (pfd.revents & POLLIN) != 0;
}

bool PtyPair::WaitHangUp(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    do {
        pollfd pfd{FMaster, 0, 0};
        const int ready = poll(&pfd, 1, RemainingMs(deadline));
        if (ready > 0 && (pfd.revents & POLLHUP) != 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    } while (Clock::now() < deadline);
    return false;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        ThreadSync::CheckSynchronize(5ms);
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (Clock::now() < deadline)
        ThreadSync::CheckSynchronize(std::chrono::milliseconds(std::min(RemainingMs(deadline), 5)));
}

bool PumpUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    auto lastCall = Clock::now();
    while (Clock::now() < deadline) {
        if (ThreadSync::CheckSynchronize(5ms))
            lastCall = Clock::now();
        else if (Clock::now() - lastCall >= quiet)
            return true;
    }
    return false;
}

bool PumpOneCall(int& served, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (ThreadSync::CheckSynchronize(5ms)) {
            ++served;
            return true;
        }
    }
    return false;
}

ByteBuffer ReadWhilePumping(PtyPair& pty, std::size_t count, std::chrono::milliseconds limit) {
    ByteBuffer got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < count && Clock::now() < deadline) {
        const ByteBuffer part = pty.Read(count - got.size(), 5ms);
        got.insert(got.end(), part.begin(), part.end());
        ThreadSync::CheckSynchronize(0ms);
    }
    return got;
}

ByteBuffer ReadPort(HANDLE port, DWORD count, std::chrono::milliseconds limit) {
    const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED record{};
    record.hEvent = done;
    ByteBuffer bytes(count);
    DWORD got = 0;
    if (!ReadFile(port, bytes.data(), count, &got, &record)) {
        got = 0;
        if (GetLastError() != ERROR_IO_PENDING) {
            CloseHandle(done);
            return {};
        }
        if (WaitForSingleObject(done, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
            CancelIoEx(port, &record);
            CloseHandle(done);
            return {};
        }
        if (!GetOverlappedResult(port, &record, &got, FALSE))
            got = 0;
    }
    CloseHandle(done);
    bytes.resize(got);
    return bytes;
}

HANDLE OpenTestPort(const std::string& path, COMMTIMEOUTS timeouts) {
    const std::string device = "\\\\.\\" + path;
    const HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, 0);
    if (port == INVALID_HANDLE_VALUE)
        return port;
    DCB dcb{};
    if (!BuildCommDCBA("115200,n,8,2", &dcb) || !SetCommState(port, &dcb) ||
        !SetCommTimeouts(port, &timeouts)) {
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

ByteBuffer Pattern(std::size_t count, unsigned seed) {
    ByteBuffer bytes(count);
    std::uint32_t state = seed * 2654435761u + 1u;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

} // namespace LinkTest
