// Run report of the simulated boot loader: figures, text and JSON forms.
#include "tools/sim/SimReport.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr double BitsPerByte = 11; // start, 8 data, 2 stop
constexpr double ReadIntervalMs = 20;

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

const char* OutcomeName(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Complete:
        return "complete";
    case RunOutcome::Abandoned:
        return "abandoned";
    case RunOutcome::Failed:
        return "failed";
    case RunOutcome::HungUp:
        return "hung-up";
    case RunOutcome::Interrupted:
        return "interrupted";
    }
    return "unknown";
}

TurnaroundFigures SummariseTurnarounds(std::vector<double> samplesMs) {
    TurnaroundFigures figures;
    figures.Count = samplesMs.size();
    if (samplesMs.empty()) {
        return figures;
    }
    std::sort(samplesMs.begin(), samplesMs.end());
    const std::size_t n = samplesMs.size();
    figures.MedianMs = n % 2 == 1 ? samplesMs[n / 2] : (samplesMs[n / 2 - 1] + samplesMs[n / 2]) / 2;
    // Nearest rank: the smallest sample with at least 99 % of the samples at or below it.
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    figures.P99Ms = samplesMs[std::max<std::size_t>(rank, 1) - 1];
    figures.MaxMs = samplesMs.back();
    return figures;
}

double RunReport::LineLimitedMs() const {
    if (Baud == 0) {
        return 0;
    }
    const double bytes = static_cast<double>(BytesSent + BytesReceived);
    return bytes * BitsPerByte * 1000.0 / Baud + ReadIntervalMs * Requests;
}

double RunReport::Ratio() const {
    const double limited = LineLimitedMs();
    return limited > 0 ? RunTimeMs / limited : 0;
}

std::string FormatReport(const RunReport& r) {
    const TurnaroundFigures t = SummariseTurnarounds(r.TurnaroundsMs);
    std::string text = "run " + std::string(OutcomeName(r.Outcome));
    if (!r.Note.empty()) {
        text += ": " + r.Note;
    }
    text += "\n";
    text += "  pages served correctly " + std::to_string(r.PagesCorrect) + " of " +
            std::to_string(r.PageCount) + ", pages wrong " + std::to_string(r.PagesWrong) + ", retries " +
            std::to_string(r.Retries) + ", requests " + std::to_string(r.Requests) + "\n";
    text += "  host turnaround over " + std::to_string(t.Count) + " answers: median " + Fixed(t.MedianMs, 2) +
            " ms, p99 " + Fixed(t.P99Ms, 2) + " ms, max " + Fixed(t.MaxMs, 2) + " ms\n";
    text += "  run time " + Fixed(r.RunTimeMs, 1) + " ms, line-limited " + Fixed(r.LineLimitedMs(), 1) +
            " ms (" + std::to_string(r.BytesSent) + " bytes sent, " + std::to_string(r.BytesReceived) +
            " received at " + std::to_string(r.Baud) + " baud), ratio " + Fixed(r.Ratio(), 3) + "\n";
    return text;
}

std::string ReportJson(const RunReport& r) {
    const TurnaroundFigures t = SummariseTurnarounds(r.TurnaroundsMs);
    std::string note;
    for (char c : r.Note) {
        if (c == '"' || c == '\\') {
            note += '\\';
        }
        note += c >= 0x20 ? c : ' ';
    }
    std::string json = "{\n";
    json += "  \"outcome\": \"" + std::string(OutcomeName(r.Outcome)) + "\",\n";
    json += "  \"note\": \"" + note + "\",\n";
    json += "  \"page_count\": " + std::to_string(r.PageCount) + ",\n";
    json += "  \"pages_correct\": " + std::to_string(r.PagesCorrect) + ",\n";
    json += "  \"pages_wrong\": " + std::to_string(r.PagesWrong) + ",\n";
    json += "  \"retries\": " + std::to_string(r.Retries) + ",\n";
    json += "  \"requests\": " + std::to_string(r.Requests) + ",\n";
    json += "  \"bytes_sent\": " + std::to_string(r.BytesSent) + ",\n";
    json += "  \"bytes_received\": " + std::to_string(r.BytesReceived) + ",\n";
    json += "  \"baud\": " + std::to_string(r.Baud) + ",\n";
    json += "  \"turnaround_count\": " + std::to_string(t.Count) + ",\n";
    json += "  \"turnaround_median_ms\": " + Fixed(t.MedianMs, 3) + ",\n";
    json += "  \"turnaround_p99_ms\": " + Fixed(t.P99Ms, 3) + ",\n";
    json += "  \"turnaround_max_ms\": " + Fixed(t.MaxMs, 3) + ",\n";
    json += "  \"run_time_ms\": " + Fixed(r.RunTimeMs, 3) + ",\n";
    json += "  \"line_limited_ms\": " + Fixed(r.LineLimitedMs(), 3) + ",\n";
    json += "  \"ratio\": " + Fixed(r.Ratio(), 4) + ",\n";
    json += "  \"succeeded\": " + std::string(r.Succeeded() ? "true" : "false") + "\n";
    json += "}\n";
    return json;
}

bool WriteFileReplacing(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = "cannot write " + temporary + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}
