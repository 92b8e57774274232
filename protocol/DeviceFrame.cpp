// DeviceFrame building, the resynchronising receive scan and PageFrame building.
#include "protocol/DeviceFrame.h"

#include "protocol/Crc16.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace {

constexpr std::size_t CheckedBytes = DeviceFrameSize - 3; // bytes 1 to 9
constexpr std::size_t PageFrameOverhead = 14;             // start, type, PageWord, head, check

void PutWord(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value & 0xFFu);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

bool CheckMatches(const std::uint8_t* frame) {
    const auto expected = static_cast<std::uint16_t>(frame[10] | (frame[11] << 8));
    return Crc16(0, frame + 1, static_cast<std::uint16_t>(CheckedBytes)) == expected;
}

// Removes the consumed front of the buffer once, when the scan ends by any path; erasing per frame would
// move the rest of the buffer for every frame.
class ConsumedFront {
public:
    ConsumedFront(ByteBuffer& buffer, std::size_t& consumed) : buffer_(buffer), consumed_(consumed) {}
    ConsumedFront(const ConsumedFront&) = delete;
    ConsumedFront& operator=(const ConsumedFront&) = delete;
    ~ConsumedFront() {
        const std::size_t count = std::min(consumed_, buffer_.size());
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    }

private:
    ByteBuffer& buffer_;
    std::size_t& consumed_;
};

} // namespace

DeviceFrame MakeDeviceFrame(std::uint8_t FrameType, std::uint16_t SwVersion, std::uint16_t HwMinor,
                            std::uint8_t HwRevision, std::uint8_t HwMajor, std::uint16_t PageWord) {
    DeviceFrame frame;
    auto& b = frame.Bytes;
    b[0] = FrameStart;
    b[1] = FrameType;
    PutWord(&b[2], SwVersion);
    PutWord(&b[4], HwMinor);
    b[6] = HwRevision;
    b[7] = HwMajor;
    PutWord(&b[8], PageWord);
    PutWord(&b[10], Crc16(0, &b[1], static_cast<std::uint16_t>(CheckedBytes)));
    return frame;
}

void ScanFrames(ByteBuffer& buffer, const FrameHandler& handler) {
    std::size_t pos = 0;
    const ConsumedFront eraseOnExit(buffer, pos);
    while (buffer.size() - pos >= DeviceFrameSize) {
        const auto from = buffer.begin() + static_cast<std::ptrdiff_t>(pos);
        pos = static_cast<std::size_t>(std::find(from, buffer.end(), FrameStart) - buffer.begin());
        if (buffer.size() - pos < DeviceFrameSize) {
            break;
        }
        const std::uint8_t* candidate = buffer.data() + pos;
        if (!CheckMatches(candidate)) {
            ++pos; // a false start costs one byte; a frame may begin inside the rejected ones
            continue;
        }
        DeviceFrame frame;
        std::copy(candidate, candidate + DeviceFrameSize, frame.Bytes.begin());
        handler(frame); // on an exception the frame stays: pos still points at it
        pos += DeviceFrameSize;
        if (pos > buffer.size()) {
            pos = buffer.size();
        }
    }
}

ByteBuffer BuildPageFrame(std::uint16_t PageWord, const TVarLoadPage& page) {
    const std::size_t words = page.Data.size();
    if (words > MaxPageDataWords) {
        throw std::length_error("A page of " + std::to_string(words) +
                                " data words is too long for a page frame.");
    }
    ByteBuffer frame(PageFrameOverhead + 2 * words);
    frame[0] = FrameStart;
    frame[1] = FramePageData;
    PutWord(&frame[2], PageWord);
    std::copy(page.Head.begin(), page.Head.end(), frame.begin() + 4);
    std::uint8_t* at = frame.data() + 12;
    for (const std::uint16_t word : page.Data) {
        PutWord(at, word);
        at += 2;
    }
    const std::size_t covered = frame.size() - 3;
    PutWord(at, Crc16(0, frame.data() + 1, static_cast<std::uint16_t>(covered)));
    return frame;
}
