// TThread: starting, ending, Synchronize into the main thread, and the rule that calls of other
// threads are never served inside a running synchronised call.
#include "platform/TThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A thread whose body is given as a function; it may call Synchronize through `sync`.
class TLambdaThread : public TThread {
public:
    using Body = std::function<void(TLambdaThread&)>;
    TLambdaThread(bool suspended, Body body) : TThread(suspended), Run(std::move(body)) {}
    ~TLambdaThread() override { TerminateAndWait(); }
    TLambdaThread(const TLambdaThread&) = delete;
    TLambdaThread& operator=(const TLambdaThread&) = delete;

    void Sync(const std::function<void()>& method) { Synchronize(method); }
    void Return(int value) { SetReturnValue(value); }
    void Discard() { DiscardSynchronize(); }

protected:
    void Execute() override { Run(*this); }

private:
    Body Run;
};

class TThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ThreadSync::SetMainThread();
        ThreadSync::SetWakeMainThread([this] { ++Wakes; });
    }
    void TearDown() override { ThreadSync::SetWakeMainThread(nullptr); }

    // Serves Synchronize calls on this (the main) thread until `done` holds; false after 10 s.
    template <class Done> static bool ServeUntil(Done done) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            ThreadSync::CheckSynchronize(5ms);
        }
        return true;
    }

    std::atomic<int> Wakes{0};
};

TEST_F(TThreadTest, SuspendedThreadRunsOnlyAfterResume) {
    std::atomic<bool> ran{false};
    TLambdaThread thread(true, [&ran](TLambdaThread& self) {
        ran = true;
        self.Return(42);
    });
    EXPECT_TRUE(thread.Suspended());
    EXPECT_FALSE(thread.Finished());
    EXPECT_FALSE(ran.load());
    thread.Resume();
    EXPECT_FALSE(thread.Suspended());
    EXPECT_EQ(thread.WaitFor(), 42);
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(thread.GetReturnValue(), 42);
    thread.Resume(); // resuming a finished thread changes nothing
}

TEST_F(TThreadTest, TerminatedBeforeItRanItNeverRuns) {
    std::atomic<bool> ran{false};
    {
        TLambdaThread thread(true, [&ran](TLambdaThread&) { ran = true; });
        thread.Terminate();
        thread.Resume();
        thread.WaitFor();
        EXPECT_TRUE(thread.Finished());
    }
    {
        TLambdaThread never(true, [&ran](TLambdaThread&) { ran = true; });
    }
    EXPECT_FALSE(ran.load());
}

TEST_F(TThreadTest, DestroyingARunningThreadEndsItFirst) {
    std::atomic<bool> left{false};
    std::atomic<bool> started{false};
    {
        TLambdaThread thread(true, [&](TLambdaThread& self) {
            started = true;
            while (!self.Terminated()) {
                std::this_thread::yield();
            }
            left = true;
        });
        thread.Resume();
        while (!started) {
            std::this_thread::yield();
        }
    }
    EXPECT_TRUE(left.load());
}

TEST_F(TThreadTest, SynchronizeRunsOnTheMainThread) {
    const std::thread::id main = std::this_thread::get_id();
    std::vector<std::thread::id> seen;
    TLambdaThread thread(true, [&seen](TLambdaThread& self) {
        for (int i = 0; i < 3; ++i) {
            self.Sync([&seen] { seen.push_back(std::this_thread::get_id()); });
        }
    });
    thread.Resume();
    ASSERT_TRUE(ServeUntil([&thread] { return thread.Finished(); }));
    ASSERT_EQ(seen.size(), 3u);
    for (const auto& id : seen) {
        EXPECT_EQ(id, main);
    }
    EXPECT_GE(Wakes.load(), 3) << "every queued call wakes the main thread";
}

// A thread told to stop may be waiting in a call the main thread cannot serve yet; dropping its calls
// lets it run on to its end while the main thread serves nothing.
TEST_F(TThreadTest, DiscardedCallsReturnWithoutRunning) {
    std::atomic<int> ran{0};
    TLambdaThread thread(true, [&ran](TLambdaThread& self) {
        self.Sync([&ran] { ++ran; }); // waiting in the queue when it is dropped
        self.Sync([&ran] { ++ran; }); // after the drop: returns at once
    });
    thread.Resume();
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (Wakes == 0 && std::chrono::steady_clock::now() < end) { // the wake-up follows the queueing
        std::this_thread::yield();
    }
    ASSERT_GT(Wakes.load(), 0);
    thread.Discard();
    EXPECT_EQ(thread.WaitFor(), 0);
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(ran.load(), 0);
    EXPECT_FALSE(ThreadSync::CheckSynchronize(0ms)) << "nothing of the thread left queued";
}

TEST_F(TThreadTest, SynchronizeCarriesTheExceptionBack) {
    std::string caught;
    TLambdaThread thread(true, [&caught](TLambdaThread& self) {
        try {
            self.Sync([] { throw std::runtime_error("Bad file format."); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
    });
    thread.Resume();
    ASSERT_TRUE(ServeUntil([&thread] { return thread.Finished(); }));
    EXPECT_EQ(caught, "Bad file format.");
}

TEST_F(TThreadTest, SynchronizeOnTheMainThreadRunsDirectly) {
    TLambdaThread thread(true, [](TLambdaThread&) {});
    bool ran = false;
    thread.Sync([&ran] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_FALSE(ThreadSync::InSynchronizedCall());
}

TEST_F(TThreadTest, WaitForOnTheMainThreadServesTheCalls) {
    int calls = 0;
    TLambdaThread thread(true, [&calls](TLambdaThread& self) {
        for (int i = 0; i < 5; ++i) {
            self.Sync([&calls] { ++calls; });
        }
        self.Return(-10);
    });
    thread.Resume();
    EXPECT_EQ(thread.WaitFor(), -10);
    EXPECT_EQ(calls, 5);
}

TEST_F(TThreadTest, WaitForOffTheMainThreadJustWaits) {
    TLambdaThread worker(true, [](TLambdaThread& self) { self.Return(3); });
    int result = 0;
    std::thread waiter([&] {
        worker.Resume();
        result = worker.WaitFor();
    });
    waiter.join();
    EXPECT_EQ(result, 3);
}

TEST_F(TThreadTest, CheckSynchronizeOffTheMainThreadRunsNothing) {
    bool result = true;
    std::thread other([&result] { result = ThreadSync::CheckSynchronize(0ms); });
    other.join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(ThreadSync::CheckSynchronize(0ms)) << "nothing queued";
}

// The order of events seen on the main thread.
struct Journal {
    std::vector<std::string> Entries;
    void Add(std::string entry) { Entries.push_back(std::move(entry)); }
};

// While one thread's call runs, a nested CheckSynchronize (a modal box's event loop) runs nothing of
// another thread; that call runs as soon as the outer one has returned.
TEST_F(TThreadTest, NestedCheckSynchronizeRunsNoOtherThreadsCall) {
    Journal journal;
    std::atomic<bool> otherQueued{false};
    TLambdaThread other(true, [&](TLambdaThread& self) {
        otherQueued = true;
        self.Sync([&journal] { journal.Add("other"); });
    });
    TLambdaThread outer(true, [&](TLambdaThread& self) {
        self.Sync([&] {
            journal.Add("outer begins");
            EXPECT_TRUE(ThreadSync::InSynchronizedCall());
            const int wakesBefore = Wakes;
            other.Resume();
            // Spin a nested loop until the other call is surely queued, and a little longer.
            while (!otherQueued || Wakes == wakesBefore) {
                ThreadSync::CheckSynchronize(1ms);
            }
            for (int i = 0; i < 20; ++i) {
                EXPECT_FALSE(ThreadSync::CheckSynchronize(1ms));
            }
            journal.Add("outer ends");
        });
    });
    outer.Resume();
    ASSERT_TRUE(ServeUntil([&] { return outer.Finished() && other.Finished(); }));
    EXPECT_FALSE(ThreadSync::InSynchronizedCall());
    const std::vector<std::string> expected{"outer begins", "outer ends", "other"};
    EXPECT_EQ(journal.Entries, expected);
}

// A nested WaitFor(X) serves X's calls (X may be waiting in one), and still none of a third thread.
TEST_F(TThreadTest, NestedWaitForServesOnlyTheAwaitedThread) {
    Journal journal;
    std::atomic<bool> thirdQueued{false};
    TLambdaThread third(true, [&](TLambdaThread& self) {
        thirdQueued = true;
        self.Sync([&journal] { journal.Add("third"); });
    });
    TLambdaThread awaited(true, [&](TLambdaThread& self) {
        self.Sync([&journal] { journal.Add("awaited"); });
        self.Return(7);
    });
    TLambdaThread outer(true, [&](TLambdaThread& self) {
        self.Sync([&] {
            journal.Add("outer begins");
            const int wakesBefore = Wakes;
            third.Resume();
            while (!thirdQueued || Wakes == wakesBefore) {
                ThreadSync::CheckSynchronize(1ms);
            }
            awaited.Resume();
            EXPECT_EQ(awaited.WaitFor(), 7);
            journal.Add("outer ends");
        });
    });
    outer.Resume();
    ASSERT_TRUE(ServeUntil([&] { return outer.Finished() && third.Finished(); }));
    const std::vector<std::string> expected{"outer begins", "awaited", "outer ends", "third"};
    EXPECT_EQ(journal.Entries, expected);
}

// When the outermost level ends with calls still queued (their wake-up used up by a nested level that
// could not run them), it wakes the main thread again: nothing is left without a wake-up.
TEST_F(TThreadTest, CallsLeftQueuedGetAFreshWakeUp) {
    std::atomic<bool> otherQueued{false};
    bool otherRan = false;
    int wakesAtQueue = 0;
    TLambdaThread other(true, [&](TLambdaThread& self) {
        otherQueued = true;
        self.Sync([&otherRan] { otherRan = true; });
    });
    TLambdaThread outer(true, [&](TLambdaThread& self) {
        self.Sync([&] {
            const int wakesBefore = Wakes;
            other.Resume();
            while (!otherQueued || Wakes == wakesBefore) {
                ThreadSync::CheckSynchronize(1ms);
            }
            wakesAtQueue = Wakes;
        });
    });
    outer.Resume();
    outer.WaitFor();
    EXPECT_TRUE(otherRan || Wakes > wakesAtQueue) << "a queued call was left without a wake-up";
    ASSERT_TRUE(ServeUntil([&] { return other.Finished(); }));
    EXPECT_TRUE(otherRan);
}

TEST_F(TThreadTest, PriorityIsKept) {
    TLambdaThread thread(true, [](TLambdaThread&) {});
    EXPECT_EQ(thread.GetPriority(), tpNormal);
    thread.SetPriority(tpHighest);
    EXPECT_EQ(thread.GetPriority(), tpHighest);
    thread.Resume();
    thread.WaitFor();
}

} // namespace
