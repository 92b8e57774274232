// What one run of the simulated boot loader achieved, and how fast: counters, host turnaround, line time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class RunOutcome {
    Complete,    // the progress report of the last page was sent
    Abandoned,   // the program closed the port before the run completed
    Failed,      // one request got no right answer within the allowed repeats
    HungUp,      // the simulator closed its side (--hangup-after)
    Interrupted, // SIGINT, SIGTERM or SIGHUP
};

const char* OutcomeName(RunOutcome outcome);

struct TurnaroundFigures {
    std::size_t Count = 0;
    double MedianMs = 0;
    double P99Ms = 0; // nearest rank
    double MaxMs = 0;
};

// Median (mean of the two middle values for an even count), 99th percentile by nearest rank, maximum.
TurnaroundFigures SummariseTurnarounds(std::vector<double> samplesMs);

struct RunReport {
    RunOutcome Outcome = RunOutcome::Abandoned;
    std::uint16_t PageCount = 0;
    std::uint32_t PagesCorrect = 0; // right page frames received (pages served again after a power cycle too)
    std::uint32_t PagesWrong = 0; // answers that were not the page asked for: wrong page, data, length, check
    std::uint32_t Retries = 0;    // requests repeated because no valid answer came in time
    std::uint32_t Requests = 0;   // page requests sent, repeats included
    std::uint64_t BytesSent = 0;
    std::uint64_t BytesReceived = 0;
    std::uint32_t Baud = 0;
    std::vector<double> TurnaroundsMs; // per answered request: end of the request on the line to the answer
    double RunTimeMs = 0;              // first request's start on the line to the end of the run
    std::string Note;                  // what ended the run, for the reader

    // The time the line alone needs: every byte exchanged plus one 20 ms read interval per request.
    double LineLimitedMs() const;
    // Run time / line-limited time; 0 when nothing was exchanged.
    double Ratio() const;
    // Complete, and no wrong answer on the way.
    bool Succeeded() const { return Outcome == RunOutcome::Complete && PagesWrong == 0; }
};

// The report as printed at the end of a run (several lines, each ending in '\n').
std::string FormatReport(const RunReport& report);
// The same as one JSON object.
std::string ReportJson(const RunReport& report);
// Writes `text` to `path` through a temporary file renamed over it; false with `error` set on failure.
bool WriteFileReplacing(const std::string& path, const std::string& text, std::string& error);
