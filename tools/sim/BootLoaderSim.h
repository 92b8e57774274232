// The simulated boot loader: one update run over an opened port, page by page, as the RVK-318 asks.
#pragma once

#include "package/UpdatePackage.h"
#include "protocol/DeviceFrame.h"
#include "tools/sim/PacedLine.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/SimReport.h"

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

class BootLoaderSim {
public:
    // `package` with `PageCount` pages must outlive the simulator; `out` gets the progress lines.
    BootLoaderSim(const SimOptions& options, const UpdatePackage& package, std::uint16_t PageCount,
                  std::FILE* out);

    // Serves one run on the pty master `fd` whose slave a program has just opened; ends when the run
    // completes, fails, the program closes the port, the simulator hangs up (--hangup-after) or
    // `stopFd` becomes readable.
    RunReport ServeRun(int fd, int stopFd);

    // The versions every page request reports.
    std::uint8_t HwMajor() const { return hwMajor_; }
    std::uint16_t HwMinor() const { return hwMinor_; }
    std::uint8_t HwRevision() const { return hwRevision_; }
    std::uint16_t SwVersion() const { return swVersion_; }

private:
    enum class AnswerKind { Correct, Wrong, None, Hangup, Stop };
    struct Answer {
        AnswerKind Kind = AnswerKind::None;
        SimClock::time_point First{}; // arrival of the answer's first byte
        SimClock::time_point Done{};  // when the instrument would have the whole answer
        std::string Why;              // for a wrong answer
    };

    // Sends one frame (with noise before it, and a broken check when its turn has come unless
    // `forceGood`); returns when its last byte is on the line.
    SimClock::time_point SendFrame(PacedLine& line, DeviceFrame frame, SimClock::time_point notBefore,
                                   bool forceGood, bool& broken);
    // Waits until `deadline` for the page frame answering `word` with page `page`.
    Answer AwaitPage(PacedLine& line, std::uint16_t word, std::uint16_t page, SimClock::time_point deadline);
    // The page frame the file's page `page` gives for `word`.
    ByteBuffer ExpectedFrame(std::uint16_t word, std::uint16_t page) const;
    // Pumps the line, dropping input, until the program closes the port or the stop descriptor fires.
    RunOutcome WaitForClose(PacedLine& line);
    void Say(const std::string& line) const;

    const SimOptions& options_;
    const UpdatePackage& package_;
    std::uint16_t pageCount_;
    std::size_t frameSize_; // bytes of every page frame: 14 + 2W
    std::FILE* out_;
    std::uint8_t hwMajor_;
    std::uint16_t hwMinor_;
    std::uint8_t hwRevision_;
    std::uint16_t swVersion_;
    std::mt19937 noise_;
    std::uint64_t framesSent_ = 0;
};
