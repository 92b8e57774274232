// Fuzz target: the update file reader over bytes in memory, and page frames built from what it accepts.
#include "package/UpdateFile.h"
#include "protocol/Crc16.h"
#include "protocol/DeviceFrame.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void CheckPageFrame(std::int32_t key, const TVarLoadPage& page) {
    const ByteBuffer frame = BuildPageFrame(static_cast<std::uint16_t>(key), page);
    Require(frame.size() == 14 + 2 * page.Data.size());
    Require(frame[0] == FrameStart && frame[1] == FramePageData);
    const auto check = static_cast<std::uint16_t>(frame[frame.size() - 2] | (frame[frame.size() - 1] << 8));
    Require(check == Crc16(0, frame.data() + 1, static_cast<std::uint16_t>(frame.size() - 3)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const UpdateFileResult r = ReadUpdateData(data, size);
    if (!r.Ok) {
        Require(r.Error == BadFileFormat);
        Require(r.Package == UpdatePackage{});
        return 0;
    }
    const UpdatePackage& p = r.Package;
    Require(r.Error.empty());
    Require(p.PageRecordSize >= 8 && p.PageRecordSize <= 65533);
    Require(p.HwRevisions.size() <= 20);
    Require(p.PageMap.size() == r.PageCount);
    const std::size_t words = (p.PageRecordSize - 8) / 2;
    // Everything the package holds came from the input.
    Require(26 + 2 * (p.HwRevisions.size() + p.SwVersions.size()) + 2 + r.PageCount * (8 + 2 * words) <=
            size);
    std::int32_t expected = 0;
    for (const auto& [key, page] : p.PageMap) {
        Require(key == expected++);
        Require(page.Data.size() == words);
    }
    if (!p.PageMap.empty()) {
        CheckPageFrame(p.PageMap.begin()->first, p.PageMap.begin()->second);
        CheckPageFrame(p.PageMap.rbegin()->first, p.PageMap.rbegin()->second);
    }
    for (const std::uint16_t v : p.SwVersions) {
        Require(!SoftwareLine(v).empty());
    }
    return 0;
}
