// The frames exchanged with the boot loader: DeviceFrame (instrument to program), PageFrame (the answer),
// and ScanFrames, the resynchronising scan of received bytes.
#pragma once

#include "common/ByteBuffer.h"
#include "package/UpdatePackage.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

inline constexpr std::uint8_t FrameStart = 0x55;
inline constexpr std::size_t DeviceFrameSize = 12;

enum : std::uint8_t {
    FrameProgress = 1,
    FramePageRequest = 2,
    FramePageData = 3,
    FrameDefective = 4,
};

// The 12 bytes of one DeviceFrame, with its fields (16-bit fields little-endian).
struct DeviceFrame {
    std::array<std::uint8_t, DeviceFrameSize> Bytes{};

    std::uint8_t FrameType() const { return Bytes[1]; }
    std::uint16_t SwVersion() const { return Word(2); }
    std::uint16_t HwMinor() const { return Word(4); }
    std::uint8_t HwRevision() const { return Bytes[6]; }
    std::uint8_t HwMajor() const { return Bytes[7]; }
    std::uint16_t PageWord() const { return Word(8); }
    std::uint16_t PageNumber() const { return static_cast<std::uint16_t>(PageWord() & 0x0FFFu); }
    std::uint8_t PageFlags() const { return static_cast<std::uint8_t>(PageWord() >> 12); }
    std::uint16_t Check() const { return Word(10); }

    std::uint16_t Word(std::size_t at) const {
        return static_cast<std::uint16_t>(Bytes[at] | (Bytes[at + 1] << 8));
    }
};

// Builds a DeviceFrame with its check (simulator, tests).
DeviceFrame MakeDeviceFrame(std::uint8_t FrameType, std::uint16_t SwVersion, std::uint16_t HwMinor,
                            std::uint8_t HwRevision, std::uint8_t HwMajor, std::uint16_t PageWord);

using FrameHandler = std::function<void(const DeviceFrame& frame)>;

// Hands every good frame at the front of `buffer` to `handler`, in order, and removes what it consumed.
// An exception from the handler leaves that frame and all later bytes in the buffer and passes on.
void ScanFrames(ByteBuffer& buffer, const FrameHandler& handler);

// The most data words a PageFrame can carry: its check covers 11 + 2n bytes, and Crc16 counts at most 65535.
inline constexpr std::size_t MaxPageDataWords = 32762;

// The PageFrame answering a request's PageWord with `page`: 0x55, 3, PageWord, Head, Data, Crc16.
// Throws std::length_error when the page holds more than MaxPageDataWords words.
ByteBuffer BuildPageFrame(std::uint16_t PageWord, const TVarLoadPage& page);
