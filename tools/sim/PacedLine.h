// The serial line as the instrument sees it: bytes sent at the pace of the chosen line rate, bytes
// received with the time of their arrival.
#pragma once

#include "common/ByteBuffer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

using SimClock = std::chrono::steady_clock;

class PacedLine {
public:
    // `fd`: the pty master (non-blocking); `stopFd`: readable once the simulator is to stop.
    PacedLine(int fd, int stopFd, std::uint32_t baud);

    // The time `count` bytes take on the line: 11 bits each (start, 8 data, 2 stop).
    SimClock::duration LineTime(std::size_t count) const;

    // Queues `bytes` to go out no earlier than `notBefore`, after everything queued before. They are
    // written in small groups, each when its last byte would have left the instrument, so the program
    // never has a byte earlier than a real line would give it. Returns when the last byte is on the line.
    SimClock::time_point Send(const ByteBuffer& bytes, SimClock::time_point notBefore = {});

    enum class Event { Deadline, Received, Hangup, Stop };
    // Writes what falls due and reads what arrives until `deadline` passes (Deadline), bytes were
    // received (Received), the program closed the port (Hangup) or the stop descriptor became readable.
    Event Pump(SimClock::time_point deadline);
    // Pumps until every queued byte is written; Deadline stands for done.
    Event Drain();
    // Pumps until `deadline`, dropping what arrives; Deadline when the time passed quietly or not.
    Event Idle(SimClock::time_point deadline);

    // Received bytes not yet consumed, oldest first, and the arrival time of each.
    ByteBuffer& Received() { return received_; }
    std::vector<SimClock::time_point>& ReceivedAt() { return receivedAt_; }
    void Consume(std::size_t count);

    std::uint64_t BytesSent() const { return bytesSent_; }
    std::uint64_t BytesReceived() const { return bytesReceived_; }
    bool Pending() const { return !queue_.empty(); }

private:
    struct Group {
        SimClock::time_point Due;
        ByteBuffer Bytes;
    };
    bool WriteDue(SimClock::time_point now, bool& blocked); // false: the other side is gone
    bool ReadAvailable(bool& got);                          // false: the other side is gone

    int fd_;
    int stopFd_;
    double bytesPerSecond_;
    std::size_t groupSize_;
    SimClock::time_point lineFree_{};
    std::deque<Group> queue_;
    ByteBuffer received_;
    std::vector<SimClock::time_point> receivedAt_;
    std::uint64_t bytesSent_ = 0;
    std::uint64_t bytesReceived_ = 0;
};
