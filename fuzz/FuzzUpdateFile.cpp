// Fuzz target: the update file reader over a real file must agree with the reader over the same bytes in
// memory.
#include "package/UpdateFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// One file per process, removed when the process ends normally.
class ScratchFile {
public:
    ScratchFile()
        : path_((std::filesystem::temp_directory_path() / ("pw-fuzz-" + std::to_string(getpid()) + ".fwu"))
                    .string()) {}
    ~ScratchFile() { std::remove(path_.c_str()); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFile scratch;
    std::FILE* file = std::fopen(scratch.Path().c_str(), "wb");
    Require(file != nullptr);
    Require(size == 0 || std::fwrite(data, 1, size, file) == size);
    Require(std::fclose(file) == 0);

    const UpdateFileResult fromFile = ReadUpdateFile(scratch.Path());
    const UpdateFileResult fromMemory = ReadUpdateData(data, size);
    Require(fromFile.Ok == fromMemory.Ok);
    Require(fromFile.Error == fromMemory.Error);
    Require(fromFile.PageCount == fromMemory.PageCount);
    Require(fromFile.Package == fromMemory.Package);
    return 0;
}
