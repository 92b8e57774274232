// Shared inside the platform layer only: the handle table, its objects and the errno translation.
#pragma once

#include "platform/Win32Api.h"

#include <chrono>
#include <ctime>
#include <memory>

namespace Win32Internal {

// Anything a handle can name. Calls in progress hold a shared_ptr, so an object closed by another thread
// stays alive (and keeps its file descriptors) until they have left.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once, by CloseHandle, after the handle has left the table.
    virtual void Close() {}
};

// Enters `object` in the table and returns its new handle (never used before in this process).
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);
// Takes the handle out of the table; the object, or null when the handle was not in it.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

// Looks the handle up as a T; null with ERROR_INVALID_HANDLE set when it is unknown, closed or of
// another kind.
template <class T> std::shared_ptr<T> Find(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<T>(FindHandle(handle));
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return object;
}

// The time-out to give poll() for `left` until a deadline. The kernel lets a poll overrun its time-out
// by 0.1 % (1.65 ms on a 1650 ms read); asking for 0.2 % less and polling again for the rest keeps a
// deadline to a few microseconds.
inline timespec PollTimeout(std::chrono::nanoseconds left) {
    long long ns = left.count() > 0 ? left.count() : 0;
    ns -= ns / 500;
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// The error code for a system call's errno.
DWORD ErrorFromErrno(int error);
// SetLastError(ErrorFromErrno(error)) and FALSE, for one-line failure returns.
BOOL FailWithErrno(int error);
BOOL Fail(DWORD code);

} // namespace Win32Internal
