// The simulated boot loader's run: requests, checking the page frames, progress reports, misbehaviour.
#include "tools/sim/BootLoaderSim.h"

#include "protocol/Crc16.h"

#include <algorithm>
#include <cinttypes>

namespace {

constexpr std::uint8_t LoadingHwMajor = 255;
constexpr std::uint8_t UnknownFrameType = 7;
constexpr std::size_t PageFrameOverhead = 14; // start, type, PageWord, 8 head bytes, check
// After hanging up the instrument takes as long as this to let the program take its last report;
// closing a pty master throws away what the program has not read yet.
constexpr auto HangupLinger = std::chrono::milliseconds(100);

double Milliseconds(SimClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

} // namespace

BootLoaderSim::BootLoaderSim(const SimOptions& options, const UpdatePackage& package, std::uint16_t PageCount,
                             std::FILE* out)
    : options_(options), package_(package), pageCount_(PageCount),
      frameSize_(PageFrameOverhead +
                 2 * (package.PageMap.empty() ? 0 : package.PageMap.begin()->second.Data.size())),
      out_(out), noise_(options.Seed) {
    hwMajor_ = options.Loading ? LoadingHwMajor : options.HwMajor.value_or(package.HwMajor);
    hwMinor_ = options.HwMinor.value_or(package.HwMinor);
    // A request carries the revision in 8 bits: the first entry that fits is the one a real instrument
    // of this file could report.
    const auto fits = std::find_if(package.HwRevisions.begin(), package.HwRevisions.end(),
                                   [](std::uint16_t entry) { return entry <= 0xFF; });
    hwRevision_ =
        options.HwRevision.value_or(static_cast<std::uint8_t>(fits == package.HwRevisions.end() ? 0 : *fits));
    swVersion_ = options.SwVersion.value_or(package.SwVersions.empty() ? 0 : package.SwVersions.front());
}

void BootLoaderSim::Say(const std::string& line) const {
    if (!options_.Quiet) {
        std::fprintf(out_, "%s\n", line.c_str());
        std::fflush(out_);
    }
}

SimClock::time_point BootLoaderSim::SendFrame(PacedLine& line, DeviceFrame frame,
                                              SimClock::time_point notBefore, bool forceGood, bool& broken) {
    ++framesSent_;
    broken = !forceGood && options_.BrokenCheck && framesSent_ % *options_.BrokenCheck == 0;
    if (broken) {
        frame.Bytes[10] = static_cast<std::uint8_t>(frame.Bytes[10] ^ 0xFF);
    }
    ByteBuffer bytes;
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::uint32_t i = 0; i < options_.Noise; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(byte(noise_)));
    }
    bytes.insert(bytes.end(), frame.Bytes.begin(), frame.Bytes.end());
    return line.Send(bytes, notBefore);
}

ByteBuffer BootLoaderSim::ExpectedFrame(std::uint16_t word, std::uint16_t page) const {
    const TVarLoadPage& record = package_.PageMap.at(page);
    // Sized up front: growing a four-byte vector by insert trips a false array-bounds warning of g++ 12
    // in optimised builds.
    ByteBuffer frame;
    frame.reserve(14 + 2 * record.Data.size());
    frame.push_back(FrameStart);
    frame.push_back(FramePageData);
    frame.push_back(static_cast<std::uint8_t>(word & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(word >> 8));
    frame.insert(frame.end(), record.Head.begin(), record.Head.end());
    for (std::uint16_t w : record.Data) {
        frame.push_back(static_cast<std::uint8_t>(w & 0xFF));
        frame.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    const std::uint16_t check = Crc16(0, frame.data() + 1, static_cast<std::uint16_t>(frame.size() - 1));
    frame.push_back(static_cast<std::uint8_t>(check & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(check >> 8));
    return frame;
}

BootLoaderSim::Answer BootLoaderSim::AwaitPage(PacedLine& line, std::uint16_t word, std::uint16_t page,
                                               SimClock::time_point deadline) {
    const ByteBuffer expected = ExpectedFrame(word, page);
    const std::size_t size = frameSize_;
    bool rejected = false; // something that began like a page frame failed its check or length
    while (true) {
        ByteBuffer& rx = line.Received();
        std::size_t at = 0;
        while (at < rx.size()) {
            if (rx[at] != FrameStart || (at + 1 < rx.size() && rx[at + 1] != FramePageData)) {
                ++at;
                continue;
            }
            if (rx.size() - at < size) {
                break; // the beginning of a frame: wait for the rest
            }
            const std::uint16_t check =
                static_cast<std::uint16_t>(rx[at + size - 2] | (rx[at + size - 1] << 8));
            if (Crc16(0, rx.data() + at + 1, static_cast<std::uint16_t>(size - 3)) != check) {
                rejected = true;
                ++at;
                continue;
            }
            Answer answer;
            answer.First = line.ReceivedAt()[at];
            answer.Done = std::max(line.ReceivedAt()[at + size - 1], answer.First + line.LineTime(size));
            if (std::equal(expected.begin(), expected.end(), rx.begin() + static_cast<std::ptrdiff_t>(at))) {
                answer.Kind = AnswerKind::Correct;
            } else {
                answer.Kind = AnswerKind::Wrong;
                const std::uint16_t got = static_cast<std::uint16_t>(rx[at + 2] | (rx[at + 3] << 8));
                answer.Why = got != word ? "a frame for PageWord " + Hex4(got) + " instead of " + Hex4(word)
                                         : "head or data differ from the file's page " + std::to_string(page);
            }
            line.Consume(at + size);
            return answer;
        }
        const bool partial = at < rx.size();
        line.Consume(at);
        switch (line.Pump(deadline)) {
        case PacedLine::Event::Received:
            continue;
        case PacedLine::Event::Hangup:
            return Answer{AnswerKind::Hangup, {}, {}, {}};
        case PacedLine::Event::Stop:
            return Answer{AnswerKind::Stop, {}, {}, {}};
        case PacedLine::Event::Deadline:
            break;
        }
        // Time is up: what arrived was no page frame, or none at all.
        Answer answer;
        if (rejected || partial) {
            answer.Kind = AnswerKind::Wrong;
            answer.Why = "no valid page frame of " + std::to_string(size) + " bytes (bad check or length)";
            answer.Done = SimClock::now();
        }
        line.Consume(line.Received().size());
        return answer;
    }
}

RunOutcome BootLoaderSim::WaitForClose(PacedLine& line) {
    while (true) {
        const auto event = line.Idle(SimClock::now() + std::chrono::hours(1));
        if (event == PacedLine::Event::Hangup) {
            return RunOutcome::Abandoned;
        }
        if (event == PacedLine::Event::Stop) {
            return RunOutcome::Interrupted;
        }
    }
}

RunReport BootLoaderSim::ServeRun(int fd, int stopFd) {
    PacedLine line(fd, stopFd, options_.Baud);
    RunReport report;
    report.PageCount = pageCount_;
    report.Baud = options_.Baud;
    framesSent_ = 0;
    noise_.seed(options_.Seed); // every run makes the same noise

    const auto finish = [&](RunOutcome outcome, const std::string& note, SimClock::time_point start) {
        report.Outcome = outcome;
        report.Note = note;
        if (start != SimClock::time_point{}) {
            report.RunTimeMs = Milliseconds(SimClock::now() - start);
        }
        report.BytesSent = line.BytesSent();
        report.BytesReceived = line.BytesReceived();
        return report;
    };

    // Power-on: the program has opened the port; the user switches the instrument on.
    switch (line.Idle(SimClock::now() + options_.PowerOnDelay)) {
    case PacedLine::Event::Hangup:
        return finish(RunOutcome::Abandoned, "the program closed the port before the power-on delay ended",
                      {});
    case PacedLine::Event::Stop:
        return finish(RunOutcome::Interrupted, "stopped before the first request", {});
    default:
        break;
    }

    const SimClock::time_point start = SimClock::now();
    SimClock::time_point notBefore{};
    bool powerCycled = false;
    bool unknownSent = false;
    bool broken = false;
    const auto endedBy = [&](bool stopped, const std::string& what) {
        return stopped ? finish(RunOutcome::Interrupted, "stopped " + what, start)
                       : finish(RunOutcome::Abandoned, "the program closed the port " + what, start);
    };

    for (std::uint16_t n = 0; n < pageCount_; ++n) {
        const std::string during = "during page " + std::to_string(n);
        if (options_.UnknownTypeAt == n && !unknownSent) {
            unknownSent = true;
            notBefore = SendFrame(line,
                                  MakeDeviceFrame(UnknownFrameType, swVersion_, hwMinor_, hwRevision_,
                                                  hwMajor_, static_cast<std::uint16_t>(n)),
                                  notBefore, false, broken);
        }
        const std::uint16_t number = options_.BadPageAt == n ? pageCount_ : n;
        const auto word = static_cast<std::uint16_t>(number | (options_.PageFlags << 12));
        const DeviceFrame request =
            MakeDeviceFrame(FramePageRequest, swVersion_, hwMinor_, hwRevision_, hwMajor_, word);
        for (std::uint32_t repeats = 0;; ++repeats) {
            const SimClock::time_point requestEnd = SendFrame(line, request, notBefore, repeats > 0, broken);
            ++report.Requests;
            const Answer answer = AwaitPage(line, word, n, requestEnd + options_.Timeout);
            if (answer.Kind == AnswerKind::Hangup || answer.Kind == AnswerKind::Stop) {
                return endedBy(answer.Kind == AnswerKind::Stop, during);
            }
            if (answer.First != SimClock::time_point{}) {
                report.TurnaroundsMs.push_back(
                    Milliseconds(std::max(answer.First - requestEnd, SimClock::duration{})));
            }
            if (answer.Kind == AnswerKind::Correct) {
                ++report.PagesCorrect;
                notBefore = answer.Done;
                char turnaround[32];
                std::snprintf(turnaround, sizeof turnaround, "%.2f", report.TurnaroundsMs.back());
                Say("page " + std::to_string(n) + " of " + std::to_string(pageCount_) +
                    " served, turnaround " + turnaround + " ms");
                break;
            }
            if (answer.Kind == AnswerKind::Wrong) {
                ++report.PagesWrong;
                notBefore = answer.Done;
                Say("page " + std::to_string(n) + ": wrong answer, " + answer.Why);
            } else {
                notBefore = {};
                Say("page " + std::to_string(n) + ": no answer within " +
                    std::to_string(options_.Timeout.count()) + " ms" +
                    (broken ? " (the request had a broken check)" : ""));
            }
            if (repeats == options_.MaxRetries) {
                (void)line.Drain();
                return finish(RunOutcome::Failed,
                              "page " + std::to_string(n) + " got no right answer in " +
                                  std::to_string(repeats + 1) + " requests",
                              start);
            }
            if (answer.Kind == AnswerKind::None) {
                ++report.Retries;
            }
        }

        // The page is in: report it, and in the same breath ask for the next one.
        const bool last = n + 1 == pageCount_;
        const DeviceFrame progress =
            MakeDeviceFrame(FrameProgress, swVersion_, hwMinor_, hwRevision_, hwMajor_, n);
        notBefore = SendFrame(line, progress, notBefore, false, broken);
        if (last && broken) {
            // Without the report of the last page the program would wait for ever: say it again.
            if (const auto event = line.Idle(notBefore + options_.Timeout);
                event != PacedLine::Event::Deadline) {
                return endedBy(event == PacedLine::Event::Stop, "after the last page");
            }
            notBefore = SendFrame(line, progress, notBefore, true, broken);
        }

        if (options_.DefectiveAfter == n) {
            bool defectiveBroken = false;
            const DeviceFrame defect =
                MakeDeviceFrame(FrameDefective, swVersion_, hwMinor_, hwRevision_, hwMajor_, n);
            notBefore = SendFrame(line, defect, notBefore, false, defectiveBroken);
            if (defectiveBroken) {
                if (const auto event = line.Idle(notBefore + options_.Timeout);
                    event != PacedLine::Event::Deadline) {
                    return endedBy(event == PacedLine::Event::Stop, "after the defect report");
                }
                SendFrame(line, defect, notBefore, true, defectiveBroken);
            }
            Say("defect report sent after page " + std::to_string(n));
            const RunOutcome outcome = WaitForClose(line);
            return finish(outcome, "defect report sent after page " + std::to_string(n), start);
        }
        if (options_.SilentAfter == n) {
            (void)line.Drain();
            Say("silent after page " + std::to_string(n));
            const RunOutcome outcome = WaitForClose(line);
            return finish(outcome, "silent after page " + std::to_string(n), start);
        }
        if (options_.HangupAfter == n) {
            const auto event = line.Drain();
            if (event == PacedLine::Event::Deadline) {
                (void)line.Idle(SimClock::now() + HangupLinger);
            }
            Say("hanging up after page " + std::to_string(n));
            return finish(RunOutcome::HungUp, "the simulator hung up after page " + std::to_string(n), start);
        }
        if (options_.PowerCycleAt == n && !powerCycled) {
            powerCycled = true;
            Say("power off after page " + std::to_string(n));
            auto event = line.Drain();
            if (event == PacedLine::Event::Deadline) {
                event = line.Idle(SimClock::now() + options_.PowerOff);
            }
            if (event != PacedLine::Event::Deadline) {
                return endedBy(event == PacedLine::Event::Stop, "while the power was off");
            }
            Say("power on");
            notBefore = {};
            n = static_cast<std::uint16_t>(-1); // the loop's step makes it page 0
            continue;
        }
        if (last) {
            const auto event = line.Drain();
            if (event == PacedLine::Event::Stop) {
                return endedBy(true, "after the last page");
            }
            return finish(RunOutcome::Complete, "every page served", start);
        }
    }
    return finish(RunOutcome::Complete, "every page served", start);
}
