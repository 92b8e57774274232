// pagewright-sim: plays the RVK-318 boot loader on a pseudo-terminal published as a virtual port.
#include "package/UpdateFile.h"
#include "tools/sim/BootLoaderSim.h"
#include "tools/sim/PseudoTerminal.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/SimReport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitRunFailed = 1;
constexpr int ExitCannotStart = 2;
// With --once, how long a completed run waits for the program to close the port before the simulator
// ends (closing the master discards what the program has not read yet).
constexpr auto CompletionGrace = std::chrono::milliseconds(2000);

// Longest single poll; longer waits are made of several.
constexpr std::int64_t MaxPollMs = 3600 * 1000;

int stopPipe[2] = {-1, -1};
volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) {
    stopSignal = signal;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
}

bool InstallStopSignals(std::string& error) {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr); // the terminal it ran in went away
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool Stopped() {
    return stopSignal != 0;
}

// Waits up to `limit` for the slave's next opening or closing, or a stop; false when a stop was asked for.
// Bytes the program sends meanwhile are dropped so that its writes never block.
bool WaitForSlaveEvent(PseudoTerminal& pty, std::chrono::milliseconds limit) {
    pollfd fds[3] = {{stopPipe[0], POLLIN, 0}, {pty.WatchFd(), POLLIN, 0}, {pty.Master(), POLLIN, 0}};
    const auto end = SimClock::now() + limit;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SimClock::now());
        // A master without an open slave reports a hang-up on every poll: leave it out then.
        const int count = pty.Holders() > 0 ? 3 : 2;
        const int ready = ::poll(fds, static_cast<nfds_t>(count),
                                 static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, MaxPollMs)));
        if (Stopped() || (ready > 0 && (fds[0].revents & POLLIN) != 0)) {
            return false;
        }
        if (ready <= 0 || (fds[1].revents & POLLIN) != 0) {
            return true;
        }
        char drop[256];
        if (::read(pty.Master(), drop, sizeof drop) < 0 && errno == EIO) {
            // Nobody holds the slave although the watch says otherwise (it merges identical events that
            // follow each other unread): believe the master.
            pty.ForgetHolders();
            return true;
        }
    }
}

// Waits until a program opens the port; false when a stop was asked for first.
bool WaitForOpening(PseudoTerminal& pty) {
    while (pty.Holders() == 0) {
        if (pty.NextSlaveEvent() == PseudoTerminal::SlaveEvent::None &&
            !WaitForSlaveEvent(pty, std::chrono::hours(1))) {
            return false;
        }
    }
    return true;
}

// Waits until the program has closed the port (or `limit` passed); false when a stop was asked for.
bool WaitForClosing(PseudoTerminal& pty, std::chrono::milliseconds limit) {
    const auto end = SimClock::now() + limit;
    while (pty.Holders() > 0 && SimClock::now() < end) {
        if (pty.NextSlaveEvent() == PseudoTerminal::SlaveEvent::None &&
            !WaitForSlaveEvent(
                pty, std::chrono::duration_cast<std::chrono::milliseconds>(end - SimClock::now()))) {
            return false;
        }
    }
    return true;
}

bool OpenAndPublish(PseudoTerminal& pty, PublishedPort& port, const std::string& name) {
    std::string error;
    if (!pty.Open(error) || !port.Publish(name, pty.SlavePath(), error)) {
        std::fprintf(stderr, "pagewright-sim: %s\n", error.c_str());
        return false;
    }
    std::printf("pagewright-sim: virtual port %s published at %s -> %s\n", name.c_str(),
                port.LinkPath().c_str(), pty.SlavePath().c_str());
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const SimOptionsResult parsed = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.Ok) {
        std::fprintf(stderr, "pagewright-sim: %s\n", parsed.Error.c_str());
        return ExitCannotStart;
    }
    const SimOptions& options = parsed.Options;
    if (options.Help) {
        std::fputs(SimHelpText().c_str(), stdout);
        return ExitSuccess;
    }
    const UpdateFileResult file = ReadUpdateFile(options.File);
    if (!file.Ok) {
        std::fprintf(stderr, "pagewright-sim: %s: %s\n", options.File.c_str(), file.Error.c_str());
        return ExitCannotStart;
    }
    if (const std::string misfit = CheckAgainstFile(options, file.PageCount); !misfit.empty()) {
        std::fprintf(stderr, "pagewright-sim: %s: %s\n", options.File.c_str(), misfit.c_str());
        return ExitCannotStart;
    }
    std::string error;
    if (!InstallStopSignals(error)) {
        std::fprintf(stderr, "pagewright-sim: %s\n", error.c_str());
        return ExitCannotStart;
    }

    PseudoTerminal pty;
    PublishedPort port;
    if (!OpenAndPublish(pty, port, options.Port)) {
        return ExitCannotStart;
    }
    BootLoaderSim sim(options, file.Package, file.PageCount, stdout);
    std::printf("pagewright-sim: %u pages of %s; requests report HwMajor %u, HwMinor %u, HwRevision %u, "
                "SwVersion 0x%04X\n",
                static_cast<unsigned>(file.PageCount), options.File.c_str(),
                static_cast<unsigned>(sim.HwMajor()), static_cast<unsigned>(sim.HwMinor()),
                static_cast<unsigned>(sim.HwRevision()), static_cast<unsigned>(sim.SwVersion()));
    const bool revisionListed = std::find(file.Package.HwRevisions.begin(), file.Package.HwRevisions.end(),
                                          sim.HwRevision()) != file.Package.HwRevisions.end();
    if (!options.Loading && !options.HwRevision && !revisionListed) {
        std::printf(
            "pagewright-sim: note: no hardware entry of the file fits in 8 bits; the program's hardware "
            "check will refuse HwRevision %u\n",
            static_cast<unsigned>(sim.HwRevision()));
    }
    if (!options.Loading && !options.SwVersion && file.Package.SwVersions.empty()) {
        std::printf("pagewright-sim: note: the file lists no software version; the program's software check "
                    "will refuse SwVersion 0x0000\n");
    }
    std::fflush(stdout);

    int status = ExitSuccess;
    while (true) {
        if (!WaitForOpening(pty)) {
            status = ExitRunFailed;
            break;
        }
        std::printf("pagewright-sim: port opened\n");
        std::fflush(stdout);
        const RunReport report = sim.ServeRun(pty.Master(), stopPipe[0]);
        std::fputs(FormatReport(report).c_str(), stdout);
        std::fflush(stdout);
        if (!options.Report.empty() && !WriteFileReplacing(options.Report, ReportJson(report), error)) {
            std::fprintf(stderr, "pagewright-sim: %s\n", error.c_str());
        }
        status = report.Succeeded() ? ExitSuccess : ExitRunFailed;
        if (report.Outcome == RunOutcome::Interrupted) {
            status = ExitRunFailed;
            break;
        }
        if (report.Outcome == RunOutcome::HungUp) {
            pty.Close();
            if (options.Once || !OpenAndPublish(pty, port, options.Port)) {
                break;
            }
            continue;
        }
        if (options.Once) {
            if (report.Outcome == RunOutcome::Complete) {
                WaitForClosing(pty, CompletionGrace);
            }
            break;
        }
        // One run per opening: the next begins when the program opens the port again.
        if (!WaitForClosing(pty, std::chrono::hours(24 * 365 * 100))) {
            status = ExitRunFailed;
            break;
        }
        pty.Discard();
    }
    port.Remove();
    pty.Close();
    if (Stopped()) {
        std::printf("pagewright-sim: stopped by signal %d\n", static_cast<int>(stopSignal));
        std::fflush(stdout);
    }
    return status;
}
