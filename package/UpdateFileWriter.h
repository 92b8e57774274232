// Writing update files for tools, tests, the simulator and benchmarks (the program itself only reads them).
#pragma once

#include "common/ByteBuffer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What an update file to be written holds. The defaults make a small valid file.
struct UpdateFileLayout {
    std::uint16_t PageCount = 4;
    std::uint16_t PageRecordSize = 72; // 8 head bytes and 32 data words
    std::uint8_t HwMajor = 2;
    std::uint16_t HwMinor = 1000;
    std::vector<std::uint16_t> HwRevisions{5};
    std::vector<std::uint16_t> SwVersions{0x1A05};

    // Page contents: the record bytes (head, then data words low byte first) in order from Image,
    // padded with 0xFF past its end; without an Image, a pattern derived from PatternSeed.
    std::optional<ByteBuffer> Image;
    std::uint32_t PatternSeed = 1;

    // Anything after the last page record is never read; the file is padded with 0xFF up to the
    // minimum length a reader demands (HwCount + 282 bytes) unless PadToMinimum is false.
    bool PadToMinimum = true;
    std::size_t TrailingBytes = 0; // extra 0xFF bytes after the pages (and after the padding)

    // Malformed files for tests.
    bool BadMagic = false;                        // "boot_file" instead of "BOOT_FILE"
    std::optional<std::uint16_t> HwCountOverride; // header HwCount differs from the list written
    std::optional<std::uint16_t> SwCountOverride; // header SwCount differs from the list written
    std::size_t Truncate = 0;                     // bytes cut from the end of the finished file
};

// The bytes of one page record as the writer lays it out: 8 head bytes and W data words, where
// W = (PageRecordSize - 8) / 2 (no record bytes at all for a PageRecordSize below 8).
std::size_t RecordBytes(std::uint16_t PageRecordSize);

// The record of page `page` for the given layout (from the Image or the pattern).
ByteBuffer PageRecord(const UpdateFileLayout& layout, std::uint16_t page);

// The whole file.
ByteBuffer MakeUpdateData(const UpdateFileLayout& layout);

// Writes MakeUpdateData(layout) to `path`; throws std::runtime_error naming the file when it cannot.
void WriteUpdateFile(const std::string& path, const UpdateFileLayout& layout);
