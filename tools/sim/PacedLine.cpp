// Paced sending and time-stamped receiving on the simulator's pty master.
#include "tools/sim/PacedLine.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr double BitsPerByte = 11;
// Bytes are written in groups no longer than this on the line: fine enough that the program's
// 20 ms read interval sees a steady stream, coarse enough to keep system calls few.
constexpr auto GroupTime = std::chrono::milliseconds(2);
constexpr std::size_t ReadChunk = 4096;

} // namespace

PacedLine::PacedLine(int fd, int stopFd, std::uint32_t baud)
    : fd_(fd), stopFd_(stopFd), bytesPerSecond_(static_cast<double>(baud) / BitsPerByte) {
    const double perGroup = bytesPerSecond_ * std::chrono::duration<double>(GroupTime).count();
    groupSize_ = std::max<std::size_t>(1, static_cast<std::size_t>(perGroup));
}

SimClock::duration PacedLine::LineTime(std::size_t count) const {
    return std::chrono::duration_cast<SimClock::duration>(
        std::chrono::duration<double>(static_cast<double>(count) / bytesPerSecond_));
}

SimClock::time_point PacedLine::Send(const ByteBuffer& bytes, SimClock::time_point notBefore) {
    const SimClock::time_point start = std::max({SimClock::now(), lineFree_, notBefore});
    for (std::size_t at = 0; at < bytes.size(); at += groupSize_) {
        const std::size_t end = std::min(bytes.size(), at + groupSize_);
        queue_.push_back(
            Group{start + LineTime(end), ByteBuffer(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                                    bytes.begin() + static_cast<std::ptrdiff_t>(end))});
    }
    lineFree_ = start + LineTime(bytes.size());
    return lineFree_;
}

bool PacedLine::WriteDue(SimClock::time_point now, bool& blocked) {
    blocked = false;
    while (!queue_.empty() && queue_.front().Due <= now) {
        Group& group = queue_.front();
        const ssize_t n = ::write(fd_, group.Bytes.data(), group.Bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                blocked = true; // the program is not reading; wait until the pty takes more
                return true;
            }
            return false;
        }
        bytesSent_ += static_cast<std::uint64_t>(n);
        group.Bytes.erase(group.Bytes.begin(), group.Bytes.begin() + n);
        if (group.Bytes.empty()) {
            queue_.pop_front();
        }
    }
    return true;
}

bool PacedLine::ReadAvailable(bool& got) {
    got = false;
    std::uint8_t chunk[ReadChunk];
    while (true) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            const auto now = SimClock::now();
            received_.insert(received_.end(), chunk, chunk + n);
            receivedAt_.insert(receivedAt_.end(), static_cast<std::size_t>(n), now);
            bytesReceived_ += static_cast<std::uint64_t>(n);
            got = true;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        return false; // EIO: no process holds the slave any more
    }
}

PacedLine::Event PacedLine::Pump(SimClock::time_point deadline) {
    while (true) {
        bool blocked = false;
        if (!WriteDue(SimClock::now(), blocked)) {
            return Event::Hangup;
        }
        const auto now = SimClock::now();
        SimClock::time_point wake = deadline;
        if (!queue_.empty() && !blocked) {
            wake = std::min(wake, queue_.front().Due);
        }
        const auto left = std::max(SimClock::duration::zero(), wake - now);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        timespec wait{
            static_cast<std::time_t>(seconds.count()),
            static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count())};
        pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0},
                         {stopFd_, POLLIN, 0}};
        const int ready = ::ppoll(fds, 2, &wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            return Event::Hangup;
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            return Event::Stop;
        }
        if (ready > 0) {
            bool got = false;
            const bool alive = ReadAvailable(got);
            if (got) {
                return Event::Received;
            }
            if (!alive || (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                return Event::Hangup;
            }
        }
        if (SimClock::now() >= deadline) {
            return Event::Deadline;
        }
    }
}

PacedLine::Event PacedLine::Drain() {
    while (!queue_.empty()) {
        const Event event = Pump(queue_.back().Due);
        if (event == Event::Hangup || event == Event::Stop) {
            return event;
        }
    }
    return Event::Deadline;
}

PacedLine::Event PacedLine::Idle(SimClock::time_point deadline) {
    while (true) {
        const Event event = Pump(deadline);
        Consume(received_.size());
        if (event != Event::Received) {
            return event;
        }
    }
}

void PacedLine::Consume(std::size_t count) {
    count = std::min(count, received_.size());
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(count));
    receivedAt_.erase(receivedAt_.begin(), receivedAt_.begin() + static_cast<std::ptrdiff_t>(count));
}
