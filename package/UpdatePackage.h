// UpdatePackage: the loaded update file as the program holds it, with its page store PageMap.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

// One page record: 8 head bytes as stored, then the data words.
struct TVarLoadPage {
    std::array<std::uint8_t, 8> Head{};
    std::vector<std::uint16_t> Data;

    friend bool operator==(const TVarLoadPage&, const TVarLoadPage&) = default;
};

using TPageMap = std::map<std::int32_t, TVarLoadPage>;

struct UpdatePackage {
    std::uint16_t HwMinor = 0;
    std::uint8_t HwMajor = 0;
    std::uint32_t PageRecordSize = 0; // 0: no package loaded
    TPageMap PageMap;
    std::vector<std::uint16_t> HwRevisions;
    std::vector<std::uint16_t> SwVersions;

    friend bool operator==(const UpdatePackage&, const UpdatePackage&) = default;
};

// The page stored under `PageNumber`; throws std::out_of_range when the package has no such page.
const TVarLoadPage& LookupPage(const UpdatePackage& package, std::int32_t PageNumber);
