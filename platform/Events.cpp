// Manual-reset events on eventfd, and the waits on them.
#include "platform/SystemCalls.h"
#include "platform/Win32Api.h"
#include "platform/Win32Internal.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

using namespace Win32Internal;

namespace {

// A signalled event is an eventfd whose counter is above zero: poll reports it readable for as long as
// nobody resets it, which is exactly a manual-reset event. The descriptor lives as long as the object,
// not the handle: a thread blocked in poll() is not woken by close(), so an event closed while someone
// waits on it keeps its descriptor until that waiter has left.
class Event final : public KernelObject {
public:
    explicit Event(int fd) : Fd(fd) {}
    ~Event() override { ::close(Fd); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Set() const {
        const std::uint64_t one = 1;
        // EAGAIN only when the counter is at its maximum, which is signalled anyway.
        return ::write(Fd, &one, sizeof one) == sizeof one || errno == EAGAIN;
    }

    bool Reset() const {
        std::uint64_t value = 0;
        return ::read(Fd, &value, sizeof value) == sizeof value || errno == EAGAIN;
    }

    const int Fd;
};

using Clock = std::chrono::steady_clock;

} // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    if (attributes != nullptr || !bManualReset || lpName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    const int fd = ::eventfd(bInitialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return AddHandle(std::make_shared<Event>(fd));
}

BOOL SetEvent(HANDLE event) {
    const auto object = Find<Event>(event);
    if (!object) {
        return FALSE;
    }
    return object->Set() ? TRUE : FailWithErrno(errno);
}

BOOL ResetEvent(HANDLE event) {
    const auto object = Find<Event>(event);
    if (!object) {
        return FALSE;
    }
    return object->Reset() ? TRUE : FailWithErrno(errno);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL bWaitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || bWaitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Holding the objects keeps their descriptors open for the whole wait.
    std::vector<std::shared_ptr<Event>> events;
    std::vector<pollfd> fds;
    events.reserve(count);
    fds.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        auto event = Find<Event>(handles[i]);
        if (!event) {
            return WAIT_FAILED;
        }
        fds.push_back(pollfd{event->Fd, POLLIN, 0});
        events.push_back(std::move(event));
    }

    // A fixed deadline: an interrupted poll resumes with the time that is left, never with the whole.
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        timespec remaining{};
        if (!forever) {
            remaining = PollTimeout(deadline - Clock::now());
        }
        const int ready = Sys().Poll(fds.data(), fds.size(), forever ? nullptr : &remaining);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastError(ErrorFromErrno(errno));
            return WAIT_FAILED;
        }
        for (DWORD i = 0; i < count; ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
                return WAIT_OBJECT_0 + i;
            }
            if ((fds[i].revents & (POLLERR | POLLNVAL)) != 0) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
        }
        if (!forever && Clock::now() >= deadline) {
            return WAIT_TIMEOUT;
        }
    }
}
