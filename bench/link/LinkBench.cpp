// Timing of the serial link on a pseudo-terminal, wired as the main window wires it: the connector opens
// the port, an I/O thread answers every 12-byte request at once from OnReceive. Reports the answer
// latency (last request byte written to first answer byte read), and the CPU time each thread takes
// during the exchange and on an open, silent port.
#include "link/COMConnector.h"
#include "link/IOUnit.h"
#include "platform/TThread.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <set>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kFrameSize = 12;
constexpr auto kOpenLimit = 10s;
constexpr auto kAnswerLimit = 5s;

std::set<long> Tasks() {
    std::set<long> tids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                tids.insert(std::strtol(entry->d_name, nullptr, 10));
        }
        closedir(dir);
    }
    return tids;
}

// Time the thread has spent on a CPU, in seconds.
double ThreadCpuSeconds(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return static_cast<double>(ns) / 1e9;
}

struct NamedThread {
    std::string Name;
    long Tid;
};

std::map<long, double> CpuOf(const std::vector<NamedThread>& threads) {
    std::map<long, double> cpu;
    for (const auto& thread : threads)
        cpu[thread.Tid] = ThreadCpuSeconds(thread.Tid);
    return cpu;
}

void ReportCpu(const char* phase, const std::vector<NamedThread>& threads,
               const std::map<long, double>& before, const std::map<long, double>& after, double wall) {
    std::printf("%s: CPU over %.2f s of wall time\n", phase, wall);
    double workers = 0;
    for (const auto& thread : threads) {
        const double used = after.at(thread.Tid) - before.at(thread.Tid);
        std::printf("  %-22s %8.3f ms  %6.3f %% of one core\n", thread.Name.c_str(), used * 1e3,
                    100.0 * used / wall);
        if (thread.Name == "connector" || thread.Name == "I/O")
            workers += used;
    }
    std::printf("  %-22s %8.3f ms  %6.3f %% of one core\n", "connector + I/O", workers * 1e3,
                100.0 * workers / wall);
}

bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, std::uint8_t* bytes, std::size_t count, Clock::time_point deadline) {
    while (count > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
            continue;
        const ssize_t n = read(fd, bytes, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

double Percentile(std::vector<double> sorted, double p) {
    std::sort(sorted.begin(), sorted.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

void Pump(const std::function<bool()>& done) {
    while (!done())
        ThreadSync::CheckSynchronize(5ms);
}

} // namespace

int main(int argc, char** argv) {
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 200;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    ThreadSync::SetMainThread();

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slave[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave, sizeof slave) != 0) {
        std::fprintf(stderr, "pw-link-bench: no pseudo-terminal available\n");
        return 1;
    }

    std::vector<NamedThread> threads{{"main", static_cast<long>(gettid())}};
    std::set<long> known = Tasks();
    auto addNew = [&](const std::string& name) {
        for (long tid : Tasks()) {
            if (known.insert(tid).second)
                threads.push_back({name, tid});
        }
    };

    std::unique_ptr<TIOUnit> unit;
    auto connector = std::make_unique<TComConnector>(true);
    connector->OnOpen = [&](TThread*) {
        addNew("port service (platform)");
        unit = std::make_unique<TIOUnit>(true, connector->PortHandle());
        unit->OnReceive = [&](TThread*, ByteBuffer& buffer) {
            std::size_t taken = 0;
            while (buffer.size() - taken >= kFrameSize) {
                unit->Send(ByteBuffer(buffer.begin() + static_cast<std::ptrdiff_t>(taken),
                                      buffer.begin() + static_cast<std::ptrdiff_t>(taken + kFrameSize)));
                taken += kFrameSize;
            }
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(taken));
        };
        unit->Resume();
        addNew("I/O");
    };
    connector->Resume();
    addNew("connector");
    connector->SetPortName(slave);
    const auto openDeadline = Clock::now() + kOpenLimit;
    Pump([&] { return unit != nullptr || Clock::now() > openDeadline; });
    if (!unit) {
        std::fprintf(stderr, "pw-link-bench: the port %s did not open\n", slave);
        return 1;
    }
    // Let the first receive pass and the connector's line check pass.
    const auto settle = Clock::now() + 200ms;
    Pump([&] { return Clock::now() > settle; });

    // (a) and (c): request/answer exchanges.
    std::vector<double> latencies;
    std::atomic<bool> driverDone{false};
    bool driverFailed = false;
    auto cpuBefore = CpuOf(threads);
    auto wallBefore = Clock::now();
    std::thread driver([&] {
        std::uint8_t request[kFrameSize];
        std::uint8_t answer[kFrameSize];
        for (int i = 0; i < exchanges && !driverFailed; ++i) {
            for (std::size_t k = 0; k < kFrameSize; ++k)
                request[k] = static_cast<std::uint8_t>(i + static_cast<int>(k));
            if (!WriteAll(master, request, kFrameSize)) {
                driverFailed = true;
                break;
            }
            const auto written = Clock::now();
            pollfd pfd{master, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(std::chrono::milliseconds(kAnswerLimit).count())) <= 0) {
                driverFailed = true;
                break;
            }
            const auto answered = Clock::now();
            if (!ReadAll(master, answer, kFrameSize, answered + kAnswerLimit) ||
                !std::equal(answer, answer + kFrameSize, request)) {
                driverFailed = true;
                break;
            }
            latencies.push_back(std::chrono::duration<double, std::milli>(answered - written).count());
        }
        driverDone = true;
    });
    Pump([&] { return driverDone.load(); });
    driver.join();
    auto cpuAfter = CpuOf(threads);
    double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    if (driverFailed || latencies.empty()) {
        std::fprintf(stderr, "pw-link-bench: exchange %zu failed\n", latencies.size());
        return 1;
    }

    std::printf("Answer latency over %zu exchanges (last request byte written -> first answer byte):\n",
                latencies.size());
    std::printf("  min %.2f ms  median %.2f ms  p99 %.2f ms  max %.2f ms\n", Percentile(latencies, 0),
                Percentile(latencies, 0.5), Percentile(latencies, 0.99), Percentile(latencies, 1.0));
    ReportCpu("Steady exchange", threads, cpuBefore, cpuAfter, wall);

    // (b): an open port on a silent line.
    cpuBefore = CpuOf(threads);
    wallBefore = Clock::now();
    const auto idleEnd = wallBefore + std::chrono::seconds(idleSeconds);
    Pump([&] { return Clock::now() > idleEnd; });
    cpuAfter = CpuOf(threads);
    wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    ReportCpu("Open, silent port", threads, cpuBefore, cpuAfter, wall);
    std::printf("CPU since start (thread ids):\n");
    for (const auto& thread : threads)
        std::printf("  %-22s %8.3f ms  (tid %ld)\n", thread.Name.c_str(), cpuAfter.at(thread.Tid) * 1e3,
                    thread.Tid);

    unit->Stop();
    unit->WaitFor();
    unit.reset();
    connector->OnClose = nullptr;
    connector->SetPortName("");
    connector->Shutdown();
    connector->WaitFor();
    connector.reset();
    close(master);
    return 0;
}
