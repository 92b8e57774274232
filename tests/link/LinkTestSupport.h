// Helpers for the link tests: a pseudo-terminal whose slave stands in for the instrument's port, a main
// thread that serves the workers' synchronised calls, and a CPU clock for spin checks.
#pragma once

#include "common/ByteBuffer.h"
#include "platform/Win32Api.h"

#include <chrono>
#include <functional>
#include <string>

namespace LinkTest {

using namespace std::chrono_literals;

// A pseudo-terminal pair. The slave's path is the port name; the test plays the instrument on the master.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return FMaster >= 0; }
    const std::string& SlavePath() const { return FSlavePath; }
    int Master() const { return FMaster; }

    bool Write(const ByteBuffer& bytes);
    // Reads until `count` bytes have come or `limit` has passed; returns what came.
    ByteBuffer Read(std::size_t count, std::chrono::milliseconds limit);
    // True once the master has bytes to read.
    bool WaitReadable(std::chrono::milliseconds limit);
    // True once the slave side has been closed by everyone who opened it.
    bool WaitHangUp(std::chrono::milliseconds limit);
    // The instrument goes away: the slave sees end of file and hang-up.
    void CloseMaster();

private:
    int FMaster = -1;
    std::string FSlavePath;
};

// Serves synchronised calls on this (the main) thread until `done` holds or `limit` passes.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);
// Serves synchronised calls for `duration`.
void PumpFor(std::chrono::milliseconds duration);
// Serves synchronised calls until none has come for `quiet` (or `limit` passes); true when it went quiet.
bool PumpUntilQuiet(std::chrono::milliseconds quiet = 300ms, std::chrono::milliseconds limit = 10s);
// Serves synchronised calls until one has run; counts the calls served meanwhile into `served`.
bool PumpOneCall(int& served, std::chrono::milliseconds limit = 10s);

// Reads `count` bytes from the master while serving synchronised calls, so that a worker that hands
// bytes to the main thread meanwhile is not held up.
ByteBuffer ReadWhilePumping(PtyPair& pty, std::size_t count, std::chrono::milliseconds limit = 20s);

// One overlapped read of up to `count` bytes on `port`, waited for; what it got (nothing on failure).
ByteBuffer ReadPort(HANDLE port, DWORD count, std::chrono::milliseconds limit = 5s);

// Opens a port as the connector would, with the given time-outs (the connector's by default).
HANDLE OpenTestPort(const std::string& path, COMMTIMEOUTS timeouts = {20, 20, 50, 20, 20});

// CPU time of the whole process, in seconds.
double ProcessCpuSeconds();

// Deterministic test bytes.
ByteBuffer Pattern(std::size_t count, unsigned seed);

} // namespace LinkTest
