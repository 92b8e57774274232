// Benchmarks of the pure-logic layers: reading a 64 MiB update file against reading its bytes whole,
// the reader's peak memory (in a child process), the receive scan and Crc16.
#include "package/UpdateFile.h"
#include "package/UpdateFileWriter.h"
#include "protocol/Crc16.h"
#include "protocol/DeviceFrame.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

void SetBytes(benchmark::State& state, std::uintmax_t perIteration) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(perIteration));
}

constexpr std::size_t FileTarget = std::size_t{64} << 20;

// One 64 MiB update file per page layout, written once into a temporary folder and removed at exit.
class BenchFiles {
public:
    static const std::string& Get(std::uint16_t recordSize) {
        static BenchFiles files;
        return recordSize == SmallRecord ? files.small_ : files.large_;
    }

    static constexpr std::uint16_t SmallRecord = 1032;  // 65027 pages of 1 KiB data
    static constexpr std::uint16_t LargeRecord = 32776; // 2048 pages of 32 KiB data

private:
    BenchFiles() {
        char pattern[] = "/tmp/pw-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        dir_ = pattern;
        small_ = Make("small-pages.fwu", SmallRecord);
        large_ = Make("large-pages.fwu", LargeRecord);
    }
    ~BenchFiles() { std::filesystem::remove_all(dir_); }

    std::string Make(const char* name, std::uint16_t recordSize) const {
        UpdateFileLayout layout;
        layout.PageRecordSize = recordSize;
        layout.PageCount = static_cast<std::uint16_t>(FileTarget / RecordBytes(recordSize));
        layout.SwVersions.assign(40, 0x1A05);
        const std::string path = (dir_ / name).string();
        WriteUpdateFile(path, layout);
        return path;
    }

    std::filesystem::path dir_;
    std::string small_;
    std::string large_;
};

// The reference: the file's bytes read whole into a freshly allocated (uninitialised) buffer.
std::size_t ReadWhole(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        throw std::runtime_error("cannot open " + path);
    }
    const auto size = static_cast<std::size_t>(std::filesystem::file_size(path));
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size]);
    const std::size_t got = std::fread(buffer.get(), 1, size, file.get());
    benchmark::DoNotOptimize(buffer.get());
    benchmark::ClobberMemory();
    return got;
}

void ReadWholeFile(benchmark::State& state) {
    const std::string& path = BenchFiles::Get(static_cast<std::uint16_t>(state.range(0)));
    ReadWhole(path); // warm the page cache
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadWhole(path));
    }
    SetBytes(state, std::filesystem::file_size(path));
}
BENCHMARK(ReadWholeFile)
    ->Arg(BenchFiles::SmallRecord)
    ->Arg(BenchFiles::LargeRecord)
    ->Unit(benchmark::kMillisecond);

void ReadUpdateFileBench(benchmark::State& state) {
    const std::string& path = BenchFiles::Get(static_cast<std::uint16_t>(state.range(0)));
    ReadWhole(path);
    for (auto _ : state) {
        const UpdateFileResult r = ReadUpdateFile(path);
        if (!r.Ok) {
            state.SkipWithError(r.Error.c_str());
            break;
        }
        benchmark::DoNotOptimize(r.Package.PageMap.size());
    }
    SetBytes(state, std::filesystem::file_size(path));
}
BENCHMARK(ReadUpdateFileBench)
    ->Name("ReadUpdateFile")
    ->Arg(BenchFiles::SmallRecord)
    ->Arg(BenchFiles::LargeRecord)
    ->Unit(benchmark::kMillisecond);

// Both reads alternated in one loop, so that the ratio compares like with like (same cache, same load).
void ReaderOverWholeRead(benchmark::State& state) {
    const std::string& path = BenchFiles::Get(static_cast<std::uint16_t>(state.range(0)));
    ReadWhole(path);
    using Clock = std::chrono::steady_clock;
    Clock::duration whole{};
    Clock::duration reader{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(ReadWhole(path));
        const auto t1 = Clock::now();
        {
            const UpdateFileResult r = ReadUpdateFile(path);
            benchmark::DoNotOptimize(r.Package.PageMap.size());
        }
        const auto t2 = Clock::now();
        whole += t1 - t0;
        reader += t2 - t1; // includes freeing the package, which a caller also pays once
    }
    const auto ms = [&state](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count() / static_cast<double>(state.iterations());
    };
    state.counters["whole_ms"] = ms(whole);
    state.counters["reader_ms"] = ms(reader);
    state.counters["ratio"] = ms(reader) / ms(whole);
}
BENCHMARK(ReaderOverWholeRead)
    ->Arg(BenchFiles::SmallRecord)
    ->Arg(BenchFiles::LargeRecord)
    ->Unit(benchmark::kMillisecond);

// The reader's peak memory, measured by bench-read-peak in a fresh process.
void ReaderPeakMemory(benchmark::State& state) {
    const std::string& path = BenchFiles::Get(static_cast<std::uint16_t>(state.range(0)));
    const std::string report = path + ".peak";
    double peak = 0;
    double limit = 0;
    for (auto _ : state) {
        std::string tool = PW_READ_PEAK_PATH;
        std::string file = path;
        char* argv[] = {tool.data(), file.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        if (spawned != 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) ||
            (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3)) {
            state.SkipWithError("bench-read-peak failed");
            break;
        }
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(report.c_str(), "r"), &std::fclose);
        double fileMiB = 0;
        double before = 0;
        std::size_t pages = 0;
        if (!in ||
            std::fscanf(in.get(), "file_MiB=%lf peak_before_MiB=%lf peak_MiB=%lf limit_MiB=%lf pages=%zu",
                        &fileMiB, &before, &peak, &limit, &pages) != 5) {
            state.SkipWithError("cannot read bench-read-peak's report");
            break;
        }
    }
    state.counters["peak_MiB"] = peak;
    state.counters["limit_MiB"] = limit;
    state.counters["peak_over_limit"] = peak / limit;
}
BENCHMARK(ReaderPeakMemory)
    ->Arg(BenchFiles::SmallRecord)
    ->Arg(BenchFiles::LargeRecord)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// A received stream: good frames with noise between them, a false start (0x55 without a good check) in
// every eighth gap.
ByteBuffer FrameStream(std::size_t bytes) {
    std::mt19937 random(318);
    ByteBuffer stream;
    stream.reserve(bytes + 64);
    std::uint16_t page = 0;
    while (stream.size() < bytes) {
        const std::size_t noise = random() % 6;
        for (std::size_t i = 0; i < noise; ++i) {
            const auto b = static_cast<std::uint8_t>(random());
            stream.push_back(b == FrameStart ? 0x00 : b);
        }
        if (page % 8 == 0) {
            stream.push_back(FrameStart);
        }
        const DeviceFrame frame = MakeDeviceFrame(page % 2 == 0 ? FramePageRequest : FrameProgress, 0x1A05,
                                                  1000, 5, 2, static_cast<std::uint16_t>(page & 0x0FFF));
        stream.insert(stream.end(), frame.Bytes.begin(), frame.Bytes.end());
        ++page;
    }
    return stream;
}

void ScanLongStream(benchmark::State& state) {
    const ByteBuffer stream = FrameStream(static_cast<std::size_t>(state.range(0)));
    std::size_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ByteBuffer buffer = stream;
        state.ResumeTiming();
        ScanFrames(buffer, [&frames](const DeviceFrame& frame) { frames += frame.Bytes[1]; });
        benchmark::DoNotOptimize(buffer.data());
    }
    benchmark::DoNotOptimize(frames);
    SetBytes(state, stream.size());
}
BENCHMARK(ScanLongStream)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

// As the serial I/O thread delivers: 80-byte reads appended to the receive buffer, a scan after each.
void ScanDeliveries(benchmark::State& state) {
    const ByteBuffer stream = FrameStream(1 << 20);
    constexpr std::size_t Delivery = 80;
    std::size_t frames = 0;
    for (auto _ : state) {
        ByteBuffer buffer;
        for (std::size_t at = 0; at < stream.size(); at += Delivery) {
            const std::size_t end = std::min(stream.size(), at + Delivery);
            buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                          stream.begin() + static_cast<std::ptrdiff_t>(end));
            ScanFrames(buffer, [&frames](const DeviceFrame& frame) { frames += frame.Bytes[1]; });
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    benchmark::DoNotOptimize(frames);
    SetBytes(state, stream.size());
}
BENCHMARK(ScanDeliveries)->Unit(benchmark::kMillisecond);

void Crc16Table(benchmark::State& state) {
    const ByteBuffer data(65535, 0xA5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc16(0, data.data(), 65535));
    }
    SetBytes(state, data.size());
}
BENCHMARK(Crc16Table);

void Crc16Bits(benchmark::State& state) {
    const ByteBuffer data(65535, 0xA5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc16BitSerial(0, data.data(), 65535));
    }
    SetBytes(state, data.size());
}
BENCHMARK(Crc16Bits);

} // namespace

BENCHMARK_MAIN();
