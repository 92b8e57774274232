// Fuzz target: the receive scan over deliveries cut from the input, against a plain step-by-step model.
//
// The first input byte chooses the delivery sizes and which handled frames make the handler fail.
#include "protocol/Crc16.h"
#include "protocol/DeviceFrame.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct HandlerFailure {};

bool GoodCheck(const std::uint8_t* frame) {
    return Crc16(0, frame + 1, 9) == static_cast<std::uint16_t>(frame[10] | (frame[11] << 8));
}

// The scan written out step by step, erasing from the front at every step.
void ModelScan(ByteBuffer& buffer, std::vector<ByteBuffer>& handled, const std::function<bool()>& fails) {
    while (buffer.size() >= DeviceFrameSize) {
        const auto start = std::find(buffer.begin(), buffer.end(), FrameStart);
        buffer.erase(buffer.begin(), start);
        if (buffer.size() < DeviceFrameSize) {
            return;
        }
        if (GoodCheck(buffer.data())) {
            handled.emplace_back(buffer.begin(), buffer.begin() + DeviceFrameSize);
            if (fails()) {
                throw HandlerFailure{};
            }
            buffer.erase(buffer.begin(), buffer.begin() + DeviceFrameSize);
        } else {
            buffer.erase(buffer.begin());
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t control = data[0];
    const std::size_t delivery = 1 + (control & 0x3F); // 1 to 64 bytes per delivery
    const unsigned failEvery = control >> 6;           // 0: the handler never fails
    ++data;
    --size;

    ByteBuffer buffer;
    ByteBuffer model;
    std::vector<ByteBuffer> handled;
    std::vector<ByteBuffer> modelHandled;
    unsigned count = 0;
    unsigned modelCount = 0;
    const auto fails = [failEvery](unsigned& n) { return failEvery != 0 && ++n % (failEvery + 2) == 0; };

    for (std::size_t at = 0; at < size; at += delivery) {
        const std::size_t end = std::min(size, at + delivery);
        buffer.insert(buffer.end(), data + at, data + end);
        model.insert(model.end(), data + at, data + end);
        const ByteBuffer before = buffer;
        bool failed = false;
        try {
            ScanFrames(buffer, [&](const DeviceFrame& frame) {
                Require(frame.Bytes[0] == FrameStart);
                Require(GoodCheck(frame.Bytes.data()));
                handled.emplace_back(frame.Bytes.begin(), frame.Bytes.end());
                if (fails(count)) {
                    throw HandlerFailure{};
                }
            });
        } catch (const HandlerFailure&) {
            failed = true;
            // The failing frame stays at the front.
            Require(buffer.size() >= DeviceFrameSize);
            Require(std::equal(buffer.begin(), buffer.begin() + DeviceFrameSize, handled.back().begin()));
        }
        bool modelFailed = false;
        try {
            ModelScan(model, modelHandled, [&] { return fails(modelCount); });
        } catch (const HandlerFailure&) {
            modelFailed = true;
        }
        Require(failed == modelFailed);
        // Only the front is ever removed: what is left is the tail of what was there.
        Require(buffer.size() <= before.size());
        Require(std::equal(buffer.begin(), buffer.end(),
                           before.end() - static_cast<std::ptrdiff_t>(buffer.size())));
        if (!failed && before.size() >= DeviceFrameSize) {
            Require(buffer.size() < DeviceFrameSize);
        }
        Require(buffer == model);
        Require(handled == modelHandled);
    }
    return 0;
}
