// Events and waits: which index a wait reports, time-outs, bad handles, and interrupted polls.
#include "platform/SystemCalls.h"
#include "platform/Win32Api.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class Events {
public:
    explicit Events(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            Handles.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        }
    }
    ~Events() {
        for (const HANDLE h : Handles) {
            CloseHandle(h);
        }
    }
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;
    std::vector<HANDLE> Handles;
};

struct LowestCase {
    const char* Name;
    std::vector<int> Signalled;
    DWORD Expected;
};

class LowestIndexTest : public ::testing::TestWithParam<LowestCase> {};

TEST_P(LowestIndexTest, ReportsLowestSignalledIndex) {
    Events events(6);
    for (const int i : GetParam().Signalled) {
        ASSERT_TRUE(SetEvent(events.Handles[static_cast<std::size_t>(i)]));
    }
    EXPECT_EQ(WaitForMultipleObjects(6, events.Handles.data(), FALSE, 0), GetParam().Expected);
    // A wait does not consume a manual-reset event: the same answer again.
    EXPECT_EQ(WaitForMultipleObjects(6, events.Handles.data(), FALSE, 0), GetParam().Expected);
}

const LowestCase kLowestCases[] = {
    {"None", {}, WAIT_TIMEOUT},
    {"OnlyLast", {5}, WAIT_OBJECT_0 + 5},
    {"TwoHigh", {3, 1}, WAIT_OBJECT_0 + 1},
    {"All", {5, 4, 3, 2, 1, 0}, WAIT_OBJECT_0},
    {"FirstAndLast", {0, 5}, WAIT_OBJECT_0},
};

INSTANTIATE_TEST_SUITE_P(Events, LowestIndexTest, ::testing::ValuesIn(kLowestCases),
                         [](const ::testing::TestParamInfo<LowestCase>& c) { return c.param.Name; });

TEST(EventsTest, ResetEndsTheSignal) {
    Events events(2);
    ASSERT_TRUE(SetEvent(events.Handles[0]));
    ASSERT_TRUE(SetEvent(events.Handles[0])); // twice: still one reset clears it
    ASSERT_TRUE(SetEvent(events.Handles[1]));
    ASSERT_TRUE(ResetEvent(events.Handles[0]));
    EXPECT_EQ(WaitForMultipleObjects(2, events.Handles.data(), FALSE, 0), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(ResetEvent(events.Handles[1]));
    ASSERT_TRUE(ResetEvent(events.Handles[1])); // resetting a clear event is fine
    EXPECT_EQ(WaitForMultipleObjects(2, events.Handles.data(), FALSE, 0), WAIT_TIMEOUT);
}

TEST(EventsTest, InitiallySignalled) {
    const HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST(EventsTest, TimeOutIsNotCutShort) {
    Events events(3);
    for (const DWORD ms : {1u, 30u, 120u}) {
        const auto start = Clock::now();
        EXPECT_EQ(WaitForMultipleObjects(3, events.Handles.data(), FALSE, ms), WAIT_TIMEOUT);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(ms)) << ms << " ms";
    }
}

TEST(EventsTest, SetFromAnotherThreadEndsAnEndlessWait) {
    Events events(4);
    std::thread setter([&events] { SetEvent(events.Handles[2]); });
    EXPECT_EQ(WaitForMultipleObjects(4, events.Handles.data(), FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    setter.join();
}

TEST(EventsTest, BadHandlesFail) {
    const HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    Events events(1);
    for (const HANDLE bad : {closed, HANDLE{0}, INVALID_HANDLE_VALUE, HANDLE{3}, HANDLE{123456789}}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        const HANDLE pair[2] = {events.Handles[0], bad};
        SetEvent(events.Handles[0]);
        // One bad handle fails the whole wait, even when another one is signalled.
        EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(ResetEvent(bad));
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST(EventsTest, BadArgumentsFail) {
    Events events(1);
    EXPECT_EQ(WaitForMultipleObjects(0, events.Handles.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(1, events.Handles.data(), TRUE, 0), WAIT_FAILED);
    std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, events.Handles[0]);
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(tooMany.size()), tooMany.data(), FALSE, 0),
              WAIT_FAILED);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), 0) << "auto-reset events are not provided";
}

TEST(EventsTest, HandlesAreNeverGivenTwice) {
    const HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(first));
    for (int i = 0; i < 100; ++i) {
        const HANDLE next = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        ASSERT_NE(next, first);
        CloseHandle(next);
    }
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
}

// Closing an event that another thread waits on must neither crash that thread nor wake it falsely,
// not even when a new event is made and set at once (it must not inherit the waiter's descriptor).
std::atomic<bool> EnteredPoll{false};

int ReportingPoll(pollfd* fds, nfds_t count, const timespec* timeout) {
    EnteredPoll = true;
    return RealSystemCalls().Poll(fds, count, timeout);
}

TEST(EventsTest, ClosingAnEventUnderAWaiterIsSafe) {
    SystemCalls calls = RealSystemCalls();
    calls.Poll = ReportingPoll;
    EnteredPoll = false;
    SetSystemCalls(&calls);
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> result{0};
    std::thread waiter([&] { result = WaitForSingleObject(event, 300); });
    while (!EnteredPoll) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(CloseHandle(event));
    std::vector<HANDLE> fresh;
    for (int i = 0; i < 4; ++i) {
        fresh.push_back(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    }
    waiter.join();
    SetSystemCalls(nullptr);
    EXPECT_EQ(result.load(), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    for (const HANDLE h : fresh) {
        CloseHandle(h);
    }
}

// Interrupted polls are resumed with the time that is left: each one is given less than the one before.
std::atomic<int> InterruptsLeft{0};
std::vector<long long> PollTimeouts; // nanoseconds, written only by the waiting thread

int InterruptingPoll(pollfd* fds, nfds_t count, const timespec* timeout) {
    PollTimeouts.push_back(timeout ? timeout->tv_sec * 1'000'000'000LL + timeout->tv_nsec : -1);
    if (InterruptsLeft.fetch_sub(1) > 0) {
        // A signal that lands a little while into the wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        errno = EINTR;
        return -1;
    }
    return RealSystemCalls().Poll(fds, count, timeout);
}

class InterruptedWaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        PollTimeouts.clear();
        Calls = RealSystemCalls();
        Calls.Poll = InterruptingPoll;
        SetSystemCalls(&Calls);
    }
    void TearDown() override { SetSystemCalls(nullptr); }
    SystemCalls Calls{};
};

TEST_F(InterruptedWaitTest, ResumesWithTheTimeLeft) {
    Events events(2);
    InterruptsLeft = 5;
    const auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, events.Handles.data(), FALSE, 40), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(40));
    ASSERT_GE(PollTimeouts.size(), 6u);
    EXPECT_LE(PollTimeouts[0], 40'000'000);
    for (std::size_t i = 1; i < 6; ++i) {
        EXPECT_LT(PollTimeouts[i], PollTimeouts[i - 1]) << "poll " << i << " got the whole time-out again";
    }
}

TEST_F(InterruptedWaitTest, SignalledEventStillReported) {
    Events events(2);
    InterruptsLeft = 3;
    SetEvent(events.Handles[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, events.Handles.data(), FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_LE(InterruptsLeft.load(), 0);
}

} // namespace
