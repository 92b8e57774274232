// TIOUnit against pseudo-terminals: chunked receiving, partial consumption, ordered and intact sending,
// the three ways the thread ends, and a port that goes away under it.
#include "LinkTestSupport.h"

#include "link/IOUnit.h"
#include "platform/TThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace LinkTest;

namespace {

using Clock = std::chrono::steady_clock;

class IOUnitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ThreadSync::SetMainThread();
        ASSERT_TRUE(Pty.Ok()) << "no pseudo-terminal available";
        Port = OpenTestPort(Pty.SlavePath());
        ASSERT_NE(Port, INVALID_HANDLE_VALUE);
        Unit = std::make_unique<TIOUnit>(true, Port);
    }

    void TearDown() override {
        if (Unit) {
            Unit->Stop();
            Unit->WaitFor();
            Unit.reset();
        }
        if (Port != INVALID_HANDLE_VALUE)
            CloseHandle(Port);
        EXPECT_TRUE(HandlerOnMainThread) << "OnReceive ran outside the main thread";
    }

    // Records every call of OnReceive; `consume` decides what the handler takes from the buffer.
    void RecordCalls(std::function<void(ByteBuffer&)> consume = {}) {
        Unit->OnReceive = [this, consume](TThread* sender, ByteBuffer& buffer) {
            HandlerOnMainThread = HandlerOnMainThread && ThreadSync::IsMainThread() && sender == Unit.get();
            Seen.push_back(buffer);
            if (consume)
                consume(buffer);
        };
    }

    std::size_t Calls() const { return Seen.size(); }

    PtyPair Pty;
    HANDLE Port = INVALID_HANDLE_VALUE;
    std::unique_ptr<TIOUnit> Unit;
    std::vector<ByteBuffer> Seen;
    bool HandlerOnMainThread = true;
};

TEST_F(IOUnitTest, BurstOf200BytesArrivesInReadsOf80And80And40) {
    RecordCalls();
    Unit->Resume();
    const ByteBuffer burst = Pattern(200, 1);
    ASSERT_TRUE(Pty.Write(burst));

    ASSERT_TRUE(PumpUntil([&] { return Calls() > 0 && Seen.back().size() == 200; }));

    ASSERT_GE(Seen.size(), 3u);
    EXPECT_EQ(Seen[0].size(), 80u);
    EXPECT_EQ(Seen[1].size(), 160u);
    EXPECT_EQ(Seen[2].size(), 200u);
    EXPECT_EQ(Seen[2], burst);
}

TEST_F(IOUnitTest, BytesLeftByTheHandlerComeAgainBeforeNewOnes) {
    RecordCalls([this](ByteBuffer& buffer) {
        if (Calls() == 1)
            buffer.erase(buffer.begin(), buffer.begin() + 10);
    });
    Unit->Resume();
    const ByteBuffer first = Pattern(30, 2);
    const ByteBuffer second = Pattern(5, 3);

    ASSERT_TRUE(Pty.Write(first));
    ASSERT_TRUE(PumpUntil([&] { return Calls() == 1; }));
    ASSERT_EQ(Seen[0], first);
    ASSERT_TRUE(Pty.Write(second));
    ASSERT_TRUE(PumpUntil([&] { return Seen.back().size() == 25; }));

    ByteBuffer expected(first.begin() + 10, first.end());
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(Seen.back(), expected);
    // Any call in between (a read that ended with nothing) saw the same rest.
    for (std::size_t i = 1; i + 1 < Seen.size(); ++i)
        EXPECT_EQ(Seen[i], ByteBuffer(first.begin() + 10, first.end())) << "call " << i;
}

// The receive pass hands over to the main thread every time, but with nothing received the handler is
// not called: the first pass at start and the pass after a silent read's time-out.
TEST_F(IOUnitTest, SilentLineCallsNoHandler) {
    RecordCalls();
    Unit->Resume();
    int served = 0;
    ASSERT_TRUE(PumpOneCall(served));
    ASSERT_TRUE(PumpOneCall(served)) << "no receive pass after the silent read";
    EXPECT_EQ(Calls(), 0u);
}

TEST_F(IOUnitTest, SendFromTheHandlerArrivesIntactAndOnce) {
    const ByteBuffer frame = Pattern(300, 4);
    RecordCalls([&](ByteBuffer& buffer) {
        Unit->Send(frame);
        buffer.clear();
    });
    Unit->Resume();
    ASSERT_TRUE(Pty.Write({0x55}));
    ASSERT_TRUE(PumpUntil([&] { return Calls() == 1; }));

    EXPECT_EQ(ReadWhilePumping(Pty, frame.size()), frame);
    EXPECT_TRUE(ReadWhilePumping(Pty, 1, 300ms).empty()) << "bytes written twice";
}

// The first block is far larger than the pseudo-terminal holds, so its write stays in flight until the
// test reads; the blocks queued meanwhile must follow it, whole and in order.
TEST_F(IOUnitTest, SendsDuringAWriteInFlightFollowItInOrder) {
    const std::vector<ByteBuffer> blocks = {Pattern(1 << 20, 5), Pattern(333, 6), Pattern(77, 7)};
    RecordCalls([&](ByteBuffer& buffer) {
        Unit->Send(blocks[Calls() - 1]);
        buffer.clear();
    });
    Unit->Resume();

    ASSERT_TRUE(Pty.Write({1}));
    ASSERT_TRUE(PumpUntil([&] { return Calls() == 1; }));
    ASSERT_TRUE(Pty.WaitReadable(5s)) << "the first write did not start";
    for (const std::uint8_t trigger : {std::uint8_t{2}, std::uint8_t{3}}) {
        ASSERT_TRUE(Pty.Write({trigger}));
        ASSERT_TRUE(PumpUntil([&] { return Calls() == trigger; }));
    }

    ByteBuffer expected;
    for (const auto& block : blocks)
        expected.insert(expected.end(), block.begin(), block.end());
    const ByteBuffer got = ReadWhilePumping(Pty, expected.size(), 60s);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes out of order or corrupted";
    EXPECT_TRUE(ReadWhilePumping(Pty, 1, 300ms).empty()) << "bytes written twice";
}

// With a short write time-out the writes end with part of the queue written; each following write must
// start at the first byte not yet confirmed.
TEST_F(IOUnitTest, PartlyCompletedWritesContinueFromTheFirstUnconfirmedByte) {
    COMMTIMEOUTS shortWrites{20, 20, 50, 0, 50};
    ASSERT_TRUE(SetCommTimeouts(Port, &shortWrites));
    const ByteBuffer block = Pattern(1 << 20, 8);
    RecordCalls([&](ByteBuffer& buffer) {
        Unit->Send(block);
        buffer.clear();
    });
    Unit->Resume();
    ASSERT_TRUE(Pty.Write({1}));
    ASSERT_TRUE(PumpUntil([&] { return Calls() == 1; }));
    ASSERT_TRUE(Pty.WaitReadable(5s));
    // Several writes time out with part of the block written while nobody reads.
    PumpFor(300ms);

    const ByteBuffer got = ReadWhilePumping(Pty, block.size(), 60s);
    ASSERT_EQ(got.size(), block.size());
    EXPECT_TRUE(got == block) << "bytes lost, repeated or reordered across partial writes";
    EXPECT_TRUE(ReadWhilePumping(Pty, 1, 300ms).empty()) << "bytes written twice";
}

TEST_F(IOUnitTest, StopFromTheHandlerEndsTheThread) {
    RecordCalls([&](ByteBuffer& buffer) {
        Unit->Stop();
        buffer.clear();
    });
    Unit->Resume();
    ASSERT_TRUE(Pty.Write({1, 2, 3}));
    ASSERT_TRUE(PumpUntil([&] { return Calls() == 1; }));

    EXPECT_EQ(Unit->WaitFor(), TIOUnit::kStoppedReturnValue);
    EXPECT_EQ(WaitForSingleObject(Unit->StoppedEvent(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(Unit->StopRequested());
    // The read the last pass started was cancelled: new bytes go to whoever reads next.
    ASSERT_TRUE(Pty.Write({4, 5, 6, 7}));
    EXPECT_EQ(ReadPort(Port, 80), (ByteBuffer{4, 5, 6, 7}));
}

TEST_F(IOUnitTest, StopBeforeResumeEndsWithoutReading) {
    RecordCalls();
    const ByteBuffer waiting = Pattern(10, 9);
    ASSERT_TRUE(Pty.Write(waiting));

    Unit->Stop();
    EXPECT_EQ(Unit->WaitFor(), TIOUnit::kStoppedReturnValue);

    EXPECT_EQ(WaitForSingleObject(Unit->StoppedEvent(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(Calls(), 0u);
    EXPECT_EQ(ReadPort(Port, 80), waiting) << "the thread read from the port";
}

TEST_F(IOUnitTest, TerminateAloneEndsTheThreadWithoutTheStoppedEvent) {
    RecordCalls();
    Unit->Resume();
    int served = 0;
    ASSERT_TRUE(PumpOneCall(served)) << "the first receive pass did not run";

    Unit->Terminate();
    EXPECT_EQ(Unit->WaitFor(), 0);

    EXPECT_EQ(WaitForSingleObject(Unit->StoppedEvent(), 0), WAIT_TIMEOUT);
    EXPECT_FALSE(Unit->StopRequested());
    ASSERT_TRUE(Pty.Write({9, 8, 7}));
    EXPECT_EQ(ReadPort(Port, 80), (ByteBuffer{9, 8, 7})) << "the thread's last read was left in flight";
}

// A handler that throws ends the thread; the write it had in flight must not outlive the object (the
// sanitizer build sees a write from freed memory otherwise).
TEST_F(IOUnitTest, HandlerExceptionLeavesNoWriteInFlight) {
    const ByteBuffer block = Pattern(1 << 20, 12);
    RecordCalls([&](ByteBuffer& buffer) {
        buffer.clear();
        if (Calls() == 1)
            Unit->Send(block);
        else
            throw std::runtime_error("handler failed");
    });
    Unit->Resume();
    ASSERT_TRUE(Pty.Write({1}));
    ASSERT_TRUE(PumpUntil([&] { return Calls() == 1; }));
    ASSERT_TRUE(Pty.WaitReadable(5s)) << "the write did not start";
    ASSERT_TRUE(Pty.Write({2}));
    ASSERT_TRUE(PumpUntil([&] { return Calls() == 2; }));
    Unit->WaitFor();
    Unit.reset();

    const ByteBuffer got = Pty.Read(block.size(), 500ms);
    EXPECT_LT(got.size(), block.size()) << "the write went on after the thread ended";
    EXPECT_TRUE(std::equal(got.begin(), got.end(), block.begin())) << "bytes from freed memory";
}

// After a transmit pass the thread goes back to sleep; it must not keep waking on a served write
// request, whether the pass wrote bytes or found nothing to write (an empty Send).
struct IdleCase {
    const char* Name;
    std::size_t SendSize;
};

const IdleCase kIdleCases[] = {
    {"AfterAWrite", 12},
    {"AfterAnEmptySend", 0},
};

class IdleAfterSendTest : public IOUnitTest, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(IdleAfterSendTest, CostsNoCpu) {
    const ByteBuffer answer = Pattern(GetParam().SendSize, 10);
    RecordCalls([&](ByteBuffer& buffer) {
        Unit->Send(answer);
        buffer.clear();
    });
    Unit->Resume();
    ASSERT_TRUE(Pty.Write({1}));
    ASSERT_TRUE(PumpUntil([&] { return Calls() == 1; }));
    ASSERT_EQ(ReadWhilePumping(Pty, answer.size(), 5s), answer);

    const double cpuBefore = ProcessCpuSeconds();
    const auto wallBefore = Clock::now();
    PumpFor(1000ms);
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    EXPECT_LT(cpu, 0.2 * wall) << "a thread spins: " << cpu << " s of CPU in " << wall << " s";
}

INSTANTIATE_TEST_SUITE_P(Sends, IdleAfterSendTest, ::testing::ValuesIn(kIdleCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.Name); });

// The port goes away while a long write is in flight and the handler keeps its bytes (so every receive
// pass calls it): the thread keeps retrying at a modest pace, and still ends on Stop.
struct PortGoneCase {
    const char* Name;
    enum { OtherEndClosed, HandleClosedUnderThread } Kind;
};

const PortGoneCase kPortGoneCases[] = {
    {"OtherEndClosed", PortGoneCase::OtherEndClosed},
    {"HandleClosedUnderThread", PortGoneCase::HandleClosedUnderThread},
};

class PortGoneTest : public IOUnitTest, public ::testing::WithParamInterface<PortGoneCase> {};

TEST_P(PortGoneTest, ThreadNeitherSpinsNorFloodsTheMainThread) {
    const ByteBuffer block = Pattern(1 << 20, 11);
    RecordCalls([&](ByteBuffer&) {
        if (Calls() == 1)
            Unit->Send(block);
    });
    Unit->Resume();
    ASSERT_TRUE(Pty.Write({1, 2, 3, 4, 5}));
    ASSERT_TRUE(PumpUntil([&] { return Calls() == 1; }));
    ASSERT_TRUE(Pty.WaitReadable(5s)) << "the write did not start";

    if (GetParam().Kind == PortGoneCase::OtherEndClosed) {
        Pty.CloseMaster();
    } else {
        CloseHandle(Port);
        Port = INVALID_HANDLE_VALUE;
    }

    const std::size_t callsBefore = Calls();
    const double cpuBefore = ProcessCpuSeconds();
    const auto wallBefore = Clock::now();
    PumpFor(1500ms);
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    const std::size_t calls = Calls() - callsBefore;

    EXPECT_LT(cpu, 0.2 * wall) << "a thread spins: " << cpu << " s of CPU in " << wall << " s";
    // One retry per read interval is about 75 calls in this time; a spinning thread makes thousands.
    EXPECT_LT(calls, 200u) << "OnReceive flooded";
    EXPECT_GT(calls, 0u) << "the received bytes are no longer offered";

    Unit->Stop();
    EXPECT_EQ(Unit->WaitFor(), TIOUnit::kStoppedReturnValue);
    EXPECT_EQ(WaitForSingleObject(Unit->StoppedEvent(), 0), WAIT_OBJECT_0);
}

INSTANTIATE_TEST_SUITE_P(Ways, PortGoneTest, ::testing::ValuesIn(kPortGoneCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.Name); });

} // namespace
