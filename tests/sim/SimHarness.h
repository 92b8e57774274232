// Test harness for pagewright-sim: a temporary runtime folder, the simulator as a child process, and a
// host that plays the program's side of the line on the published pseudo-terminal.
#pragma once

#include "common/ByteBuffer.h"
#include "protocol/DeviceFrame.h"

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

using namespace std::chrono_literals;

// A fresh folder removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The simulator as a child process with its standard output and error captured.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Reads output until a line containing `text` appears after the lines already taken; false when the
    // simulator ends or `limit` passes first.
    bool WaitForLine(const std::string& text, std::chrono::milliseconds limit = 20s);
    // Waits for the simulator to end; its exit status, or -1 when it did not end within `limit`
    // (it is killed then), 128 + signal when a signal ended it.
    int WaitForExit(std::chrono::milliseconds limit = 30s);
    void Signal(int signal) const;

    const std::string& Out() const { return out_; }
    const std::string& Err() const { return err_; }

private:
    // Reads what the pipes offer within `limit`; false once both are at end of file.
    bool ReadSome(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::size_t taken_ = 0; // of out_, by WaitForLine
    int status_ = -1;
};

// The program's side: opens the published port raw, scans what arrives into device frames, sends
// whatever it is told.
class Host {
public:
    explicit Host(const std::string& port);
    ~Host() { Close(); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    void Close();
    // The next good device frame; nullopt when `limit` passes or the port goes away (Gone() then).
    std::optional<DeviceFrame> NextFrame(std::chrono::milliseconds limit = 10s);
    // Reads until the port goes away; true when it did within `limit`.
    bool WaitUntilGone(std::chrono::milliseconds limit = 10s);
    bool Gone() const { return gone_; }
    void Send(const ByteBuffer& bytes);

private:
    bool ReadMore(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    bool gone_ = false;
    ByteBuffer received_;
    std::deque<DeviceFrame> frames_;
};

// The figures of the simulator's JSON report.
double JsonNumber(const std::string& json, const std::string& key);
std::string JsonText(const std::string& json, const std::string& key);
std::string ReadWholeFile(const std::string& path);
