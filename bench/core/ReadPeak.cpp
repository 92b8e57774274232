// bench-read-peak: reads one update file and reports the process's peak memory, for a clean measurement
// apart from the benchmark process that made the file.
//
// The peak is the VmHWM of /proc/self/status, which belongs to this program's own address space. The
// getrusage figure is shown too, but a process started with vfork (posix_spawn) inherits its parent's high
// water mark in it, so it is no measure of the reader when the benchmark starts this program.
#include "package/UpdateFile.h"

#include <cstdio>
#include <filesystem>

#include <sys/resource.h>

namespace {

long MaxRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long PeakKiB() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return MaxRssKiB();
    }
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) {
            break;
        }
    }
    std::fclose(status);
    return kib >= 0 ? kib : MaxRssKiB();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: bench-read-peak FILE\n");
        return 2;
    }
    const long before = PeakKiB();
    const UpdateFileResult r = ReadUpdateFile(argv[1]);
    const long after = PeakKiB();
    if (!r.Ok) {
        std::fprintf(stderr, "%s\n", r.Error.c_str());
        return 1;
    }
    const double fileMiB = static_cast<double>(std::filesystem::file_size(argv[1])) / (1024.0 * 1024.0);
    const double peakMiB = static_cast<double>(after) / 1024.0;
    const double limitMiB = 1.5 * fileMiB + 30.0;
    std::printf(
        "file_MiB=%.1f peak_before_MiB=%.1f peak_MiB=%.1f limit_MiB=%.1f pages=%zu ru_maxrss_MiB=%.1f\n",
        fileMiB, static_cast<double>(before) / 1024.0, peakMiB, limitMiB, r.Package.PageMap.size(),
        static_cast<double>(MaxRssKiB()) / 1024.0);
    return peakMiB <= limitMiB ? 0 : 3;
}
