// The real system calls behind the serial layer's replaceable table.
#include "platform/SystemCalls.h"

#include <atomic>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
ssize_t RealRead(int fd, void* buffer, size_t count) {
    return ::read(fd, buffer, count);
}
ssize_t RealWrite(int fd, const void* buffer, size_t count) {
    return ::write(fd, buffer, count);
}
int RealPoll(pollfd* fds, nfds_t count, const timespec* timeout) {
    return ::ppoll(fds, count, timeout, nullptr);
}
int RealIoctl(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

const SystemCalls kReal{RealRead, RealWrite, RealPoll, RealIoctl};
std::atomic<const SystemCalls*> Current{&kReal};
} // namespace

const SystemCalls& RealSystemCalls() {
    return kReal;
}
const SystemCalls& Sys() {
    return *Current.load(std::memory_order_acquire);
}
void SetSystemCalls(const SystemCalls* calls) {
    Current.store(calls ? calls : &kReal, std::memory_order_release);
}
