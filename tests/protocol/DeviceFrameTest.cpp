// Device frames: their check, the resynchronising receive scan, and page frame building.
#include "protocol/DeviceFrame.h"
#include "protocol/Crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The page request for page 0 from an instrument whose HwMajor is 255.
const ByteBuffer kWorkedFrame = {0x55, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x13, 0x7E};

ByteBuffer Bytes(const DeviceFrame& frame) {
    return ByteBuffer(frame.Bytes.begin(), frame.Bytes.end());
}

ByteBuffer Join(std::initializer_list<ByteBuffer> parts) {
    ByteBuffer all;
    for (const ByteBuffer& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

ByteBuffer Frame(std::uint8_t type, std::uint16_t PageWord) {
    return Bytes(MakeDeviceFrame(type, 0x1A05, 1000, 5, 2, PageWord));
}

// Every frame handed to the handler, as bytes.
struct Recorder {
    std::vector<ByteBuffer> Frames;
    FrameHandler Handler() {
        return [this](const DeviceFrame& frame) { Frames.push_back(Bytes(frame)); };
    }
};

TEST(DeviceFrame, WorkedFramePasses) {
    ByteBuffer buffer = kWorkedFrame;
    Recorder seen;
    ScanFrames(buffer, seen.Handler());
    ASSERT_EQ(seen.Frames.size(), 1u);
    EXPECT_EQ(seen.Frames[0], kWorkedFrame);
    EXPECT_TRUE(buffer.empty());
}

TEST(DeviceFrame, AnySingleChangeOfBytes1To11Fails) {
    for (std::size_t at = 1; at < DeviceFrameSize; ++at) {
        for (unsigned value = 0; value < 256; ++value) {
            if (value == kWorkedFrame[at]) {
                continue;
            }
            ByteBuffer buffer = kWorkedFrame;
            buffer[at] = static_cast<std::uint8_t>(value);
            bool handled = false;
            ScanFrames(buffer, [&handled](const DeviceFrame&) { handled = true; });
            ASSERT_FALSE(handled) << "byte " << at << " = " << value;
        }
    }
}

TEST(DeviceFrame, MakeDeviceFrameLaysOutFieldsAndCheck) {
    EXPECT_EQ(Bytes(MakeDeviceFrame(FramePageRequest, 0, 0, 0, 0xFF, 0)), kWorkedFrame);
    const DeviceFrame frame = MakeDeviceFrame(FramePageRequest, 0x1A05, 0x03E8, 7, 2, 0xB123);
    EXPECT_EQ(Bytes(frame), (ByteBuffer{0x55, 0x02, 0x05, 0x1A, 0xE8, 0x03, 0x07, 0x02, 0x23, 0xB1,
                                        frame.Bytes[10], frame.Bytes[11]}));
    EXPECT_EQ(frame.Check(), Crc16BitSerial(0, frame.Bytes.data() + 1, 9));
    EXPECT_EQ(frame.FrameType(), FramePageRequest);
    EXPECT_EQ(frame.SwVersion(), 0x1A05);
    EXPECT_EQ(frame.HwMinor(), 1000);
    EXPECT_EQ(frame.HwRevision(), 7);
    EXPECT_EQ(frame.HwMajor(), 2);
    EXPECT_EQ(frame.PageWord(), 0xB123);
    EXPECT_EQ(frame.PageNumber(), 0x123);
    EXPECT_EQ(frame.PageFlags(), 0xB);
}

const ByteBuffer kF1 = Frame(FramePageRequest, 1);
const ByteBuffer kF2 = Frame(FrameProgress, 2);
const ByteBuffer kF3 = Frame(FrameDefective, 3);
const ByteBuffer kOdd = Frame(9, 4); // a type the procedure does not know: still handed on

ByteBuffer Head(const ByteBuffer& b, std::size_t n) {
    return ByteBuffer(b.begin(), b.begin() + static_cast<long>(n));
}
ByteBuffer Tail(const ByteBuffer& b, std::size_t from) {
    return ByteBuffer(b.begin() + static_cast<long>(from), b.end());
}
ByteBuffer BadCheck(ByteBuffer b) {
    b[11] ^= 0x01;
    return b;
}

struct ScanCase {
    const char* Name;
    ByteBuffer Input;
    std::vector<ByteBuffer> Handled;
    ByteBuffer Left;
};

const ScanCase kScanCases[] = {
    {"Empty", {}, {}, {}},
    {"ElevenBytesWithoutStartUntouched", ByteBuffer(11, 0xAA), {}, ByteBuffer(11, 0xAA)},
    {"ElevenBytesOfAFrameUntouched", Head(kF1, 11), {}, Head(kF1, 11)},
    {"TwelveBytesWithoutStartDropped", ByteBuffer(12, 0x00), {}, {}},
    {"ManyBytesWithoutStartDropped", ByteBuffer(100, 0x54), {}, {}},
    {"GarbagePrefixDropped", Join({{0x00, 0x12, 0xAA, 0xFF}, kF1}), {kF1}, {}},
    {"BackToBackInOrder", Join({kF1, kF2, kF3}), {kF1, kF2, kF3}, {}},
    {"NoiseBetweenFrames", Join({kF1, {0x01, 0x02}, kF2, {0x00}, kF3}), {kF1, kF2, kF3}, {}},
    {"TrailingPartialKept", Join({kF1, kF2, Head(kF3, 7)}), {kF1, kF2}, Head(kF3, 7)},
    {"NoiseBeforeTrailingPartialDropped",
     Join({kF1, ByteBuffer(20, 0x11), Head(kF3, 5)}),
     {kF1},
     Head(kF3, 5)},
    // A rejected candidate costs exactly its start byte.
    {"FalseStartDropsOneByte", BadCheck(kF1), {}, Tail(BadCheck(kF1), 1)},
    // 55 AA 55 and then a frame: the first two 0x55 are false starts inside the frame's first 12 bytes.
    {"FrameInsideRejectedBytes", Join({{0x55, 0xAA, 0x55}, kF2}), {kF2}, {}},
    {"FrameStartingAtSecondByteOfFalseStart", Join({{0x55}, kF3}), {kF3}, {}},
    {"UnknownTypeHandedOn", Join({kOdd, kF1}), {kOdd, kF1}, {}},
    {"BadFrameThenGood", Join({BadCheck(kF1), kF2}), {kF2}, {}},
};

class ScanFramesCases : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanFramesCases, HandsGoodFramesAndKeepsTheRest) {
    ByteBuffer buffer = GetParam().Input;
    Recorder seen;
    ScanFrames(buffer, seen.Handler());
    EXPECT_EQ(seen.Frames, GetParam().Handled);
    EXPECT_EQ(buffer, GetParam().Left);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScanFramesCases, testing::ValuesIn(kScanCases),
                         [](const testing::TestParamInfo<ScanCase>& param) {
                             return std::string(param.param.Name);
                         });

TEST(ScanFrames, FrameSplitOverTwoDeliveries) {
    for (std::size_t split = 1; split < DeviceFrameSize; ++split) {
        ByteBuffer buffer = Join({{0x00, 0x01}, Head(kF1, split)});
        Recorder seen;
        ScanFrames(buffer, seen.Handler());
        EXPECT_TRUE(seen.Frames.empty());
        buffer.insert(buffer.end(), kF1.begin() + static_cast<long>(split), kF1.end());
        ScanFrames(buffer, seen.Handler());
        ASSERT_EQ(seen.Frames.size(), 1u) << "split " << split;
        EXPECT_EQ(seen.Frames[0], kF1);
        EXPECT_TRUE(buffer.empty());
    }
}

struct HandlerFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TEST(ScanFrames, HandlerErrorLeavesThatFrameAndLaterOnes) {
    ByteBuffer buffer = Join({{0x01, 0x02}, kF1, {0x03}, kF2, kF3, Head(kF1, 4)});
    std::vector<ByteBuffer> seen;
    const auto failOnSecond = [&seen](const DeviceFrame& frame) {
        seen.push_back(Bytes(frame));
        if (seen.size() == 2) {
            throw HandlerFailure("Defective instrument");
        }
    };
    EXPECT_THROW(ScanFrames(buffer, failOnSecond), HandlerFailure);
    EXPECT_EQ(seen, (std::vector<ByteBuffer>{kF1, kF2}));
    // Bytes before the failing frame are consumed; the frame itself and everything after it stay.
    EXPECT_EQ(buffer, Join({kF2, kF3, Head(kF1, 4)}));
}

TEST(ScanFrames, HandlerErrorOnFirstFrameKeepsItAtTheFront) {
    ByteBuffer buffer = Join({ByteBuffer(30, 0x00), kF1, kF2});
    EXPECT_THROW(ScanFrames(buffer, [](const DeviceFrame&) { throw HandlerFailure("stop"); }),
                 HandlerFailure);
    EXPECT_EQ(buffer, Join({kF1, kF2}));
}

// A long stream of frames and noise without start bytes, delivered in random pieces: every frame is
// handed on exactly once, in order.
TEST(ScanFrames, RandomDeliveriesOfFramesAndNoise) {
    std::mt19937 random(42);
    ByteBuffer stream;
    std::vector<ByteBuffer> sent;
    for (int i = 0; i < 2000; ++i) {
        const std::size_t noise = random() % 15;
        for (std::size_t n = 0; n < noise; ++n) {
            std::uint8_t b = static_cast<std::uint8_t>(random());
            stream.push_back(b == FrameStart ? 0x56 : b);
        }
        sent.push_back(Bytes(MakeDeviceFrame(
            static_cast<std::uint8_t>(random() % 5), static_cast<std::uint16_t>(random()),
            static_cast<std::uint16_t>(random()), 0x55, 0x55, static_cast<std::uint16_t>(i))));
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }
    ByteBuffer buffer;
    Recorder seen;
    std::size_t at = 0;
    while (at < stream.size()) {
        const std::size_t piece = std::min<std::size_t>(1 + random() % 80, stream.size() - at);
        buffer.insert(buffer.end(), stream.begin() + static_cast<long>(at),
                      stream.begin() + static_cast<long>(at + piece));
        at += piece;
        ScanFrames(buffer, seen.Handler());
        ASSERT_LT(buffer.size(), DeviceFrameSize);
    }
    EXPECT_EQ(seen.Frames, sent);
}

TEST(PageFrame, WorkedFrame) {
    TVarLoadPage page;
    page.Head = {0, 1, 2, 3, 4, 5, 6, 7};
    page.Data = {0x1234, 0xABCD};
    EXPECT_EQ(BuildPageFrame(0x0001, page),
              (ByteBuffer{0x55, 0x03, 0x01, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x34, 0x12,
                          0xCD, 0xAB, 0xA1, 0xC1}));
}

std::uint16_t TrailingCheck(const ByteBuffer& frame) {
    return static_cast<std::uint16_t>(frame[frame.size() - 2] | (frame[frame.size() - 1] << 8));
}

TEST(PageFrame, EmptyPageGivesFourteenBytesAndKeepsFlags) {
    TVarLoadPage page;
    page.Head = {9, 8, 7, 6, 5, 4, 3, 2};
    const ByteBuffer frame = BuildPageFrame(0xF123, page);
    ASSERT_EQ(frame.size(), 14u);
    EXPECT_EQ(Head(frame, 12), (ByteBuffer{0x55, 0x03, 0x23, 0xF1, 9, 8, 7, 6, 5, 4, 3, 2}));
    EXPECT_EQ(TrailingCheck(frame), Crc16BitSerial(0, frame.data() + 1, 11));
}

TEST(PageFrame, LongestPageIsCheckedOverAllItsBytes) {
    TVarLoadPage page;
    page.Data.resize(MaxPageDataWords);
    for (std::size_t i = 0; i < page.Data.size(); ++i) {
        page.Data[i] = static_cast<std::uint16_t>(i * 2654435761u);
    }
    const ByteBuffer frame = BuildPageFrame(7, page);
    ASSERT_EQ(frame.size(), 14 + 2 * MaxPageDataWords);
    EXPECT_EQ(frame.size() - 3, 65535u);
    EXPECT_EQ(TrailingCheck(frame), Crc16BitSerial(0, frame.data() + 1, 65535));
    EXPECT_EQ(frame[frame.size() - 4], static_cast<std::uint8_t>(page.Data.back() & 0xFF));
}

TEST(PageFrame, PageTooLongForTheCheckIsRefused) {
    TVarLoadPage page;
    page.Data.resize(MaxPageDataWords + 1);
    EXPECT_THROW(BuildPageFrame(0, page), std::length_error);
}

} // namespace
