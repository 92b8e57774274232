// The few system calls the serial layer makes, behind one replaceable table so that tests can inject
// interrupted calls, short transfers and a vanished device.
#pragma once

#include <ctime>
#include <poll.h>
#include <sys/types.h>

struct SystemCalls {
    ssize_t (*Read)(int fd, void* buffer, size_t count);
    ssize_t (*Write)(int fd, const void* buffer, size_t count);
    // poll with a time-out to the nanosecond; null waits without limit.
    int (*Poll)(pollfd* fds, nfds_t count, const timespec* timeout);
    int (*Ioctl)(int fd, unsigned long request, void* argument);
};

// The calls of the operating system.
const SystemCalls& RealSystemCalls();
// The table in use; the real calls unless a test installed its own.
const SystemCalls& Sys();
// Installs `calls` (kept by pointer, must outlive its use); null restores the real calls.
void SetSystemCalls(const SystemCalls* calls);
