// Reading update files (.fwu) into a new UpdatePackage, and the text lines that show their versions.
#pragma once

#include "package/UpdatePackage.h"

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr const char* BadFileFormat = "Bad file format.";

struct UpdateFileResult {
    bool Ok = false;
    UpdatePackage Package;       // complete when Ok
    std::uint16_t PageCount = 0; // when Ok
    std::string Error;           // when not Ok: "Bad file format." or the open error's text
};

// Reads the whole file at `path`. Never allocates or reads more than the file holds.
UpdateFileResult ReadUpdateFile(const std::string& path);
// The same reading over bytes already in memory (tools, fuzzing).
UpdateFileResult ReadUpdateData(const std::uint8_t* data, std::size_t size);

// "2.1000.5": HwMajor, HwMinor and one hardware list entry.
std::string HardwareLine(std::uint8_t HwMajor, std::uint16_t HwMinor, std::uint16_t revision);
// "1.10.0.5": the four 4-bit digits of a software version, most significant first.
std::string SoftwareLine(std::uint16_t version);
