// Worker threads, and the queue through which they run calls on the main thread.
#include "platform/TThread.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

struct SyncCall {
    const std::function<void()>* Method = nullptr;
    const void* Owner = nullptr; // the TThread::State of the calling thread
    bool Done = false;
    std::exception_ptr Error;
};

// Everything the main thread shares with the workers, under one lock.
struct SyncQueue {
    std::mutex Lock;
    // A call was queued, or a thread finished.
    std::condition_variable Changed;
    std::condition_variable CallDone;
    std::deque<SyncCall*> Calls;
    std::function<void()> Wake;
    // How many worker calls the main thread is running right now, one inside the other.
    int Depth = 0;
};

// Never destroyed: a worker still running at exit may still queue a call.
SyncQueue& Queue() {
    static SyncQueue* const queue = new SyncQueue;
    return *queue;
}

std::atomic<std::thread::id> MainThread{};

void AdoptMainThreadIfUnset() {
    std::thread::id none{};
    MainThread.compare_exchange_strong(none, std::this_thread::get_id());
}

// Runs one worker's call on the main thread (queue lock held on entry and on return).
void RunCall(std::unique_lock<std::mutex>& lock, SyncCall* call) {
    SyncQueue& queue = Queue();
    ++queue.Depth;
    lock.unlock();
    try {
        (*call->Method)();
    } catch (...) {
        call->Error = std::current_exception();
    }
    lock.lock();
    --queue.Depth;
    call->Done = true;
    queue.CallDone.notify_all();
}

// After the outermost serving level has finished, calls may still be queued whose wake-up was used up
// by a nested level that was not allowed to run them: wake the main thread again for those.
void RewakeIfLeft(std::unique_lock<std::mutex>& lock) {
    SyncQueue& queue = Queue();
    if (queue.Depth != 0 || queue.Calls.empty() || !queue.Wake) {
        return;
    }
    const std::function<void()> wake = queue.Wake;
    lock.unlock();
    wake();
    lock.lock();
}

constexpr int kHighestNice = -10;

} // namespace

struct TThread::State {
    std::mutex Lock; // Suspended, Worker
    bool Suspended = true;
    std::thread Worker;
    std::atomic<bool> Terminated{false};
    std::atomic<bool> Finished{false};
    std::atomic<int> ReturnValue{0};
    std::atomic<TThreadPriority> Priority{tpNormal};
    bool SyncDiscarded = false; // under the queue's lock
    std::atomic<pid_t> NativeId{0};
    std::exception_ptr Fatal;
};

namespace {

// Best effort: a lower nice value for the highest priority. Ordinary users may not raise a thread's
// priority, and then it simply runs at the normal one.
void ApplyPriority(pid_t tid, TThreadPriority priority) {
    if (tid != 0) {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), priority == tpHighest ? kHighestNice : 0);
    }
}

} // namespace

TThread::TThread(bool CreateSuspended) : Self(new State) {
    AdoptMainThreadIfUnset();
    // A thread is never started from here: the derived object does not exist yet, and its Execute
    // cannot run before it does. Created "running", it starts at the first Resume like a suspended one.
    (void)CreateSuspended;
}

TThread::~TThread() {
    bool started = false;
    {
        std::lock_guard lock(Self->Lock);
        started = !Self->Suspended;
    }
    if (started && !Self->Finished) {
        // Last resort: the derived destructor should have ended the thread already.
        Terminate();
        WaitFor();
    }
    if (Self->Worker.joinable()) {
        if (Self->Worker.get_id() == std::this_thread::get_id()) {
            Self->Worker.detach();
        } else {
            Self->Worker.join();
        }
    }
    delete Self;
}

void TThread::Resume() {
    std::lock_guard lock(Self->Lock);
    if (!Self->Suspended) {
        return;
    }
    Self->Suspended = false;
    Self->Worker = std::thread([this] {
        State& state = *Self;
        state.NativeId = ::gettid();
        ApplyPriority(state.NativeId, state.Priority);
        // A thread terminated before it ever ran does not run its body at all.
        if (!state.Terminated) {
            try {
                Execute();
            } catch (...) {
                state.Fatal = std::current_exception();
            }
        }
        SyncQueue& queue = Queue();
        std::lock_guard queueLock(queue.Lock);
        state.Finished = true;
        queue.Changed.notify_all();
    });
}

void TThread::Terminate() {
    Self->Terminated = true;
}

bool TThread::Terminated() const {
    return Self->Terminated;
}

bool TThread::Suspended() const {
    std::lock_guard lock(Self->Lock);
    return Self->Suspended;
}

bool TThread::Finished() const {
    return Self->Finished;
}

int TThread::WaitFor() {
    {
        std::lock_guard lock(Self->Lock);
        // Never started: there is nothing to wait for. Waiting for oneself would never end.
        if (Self->Suspended || Self->Worker.get_id() == std::this_thread::get_id()) {
            return Self->ReturnValue;
        }
    }
    SyncQueue& queue = Queue();
    std::unique_lock lock(queue.Lock);
    if (!ThreadSync::IsMainThread()) {
        queue.Changed.wait(lock, [this] { return Self->Finished.load(); });
        return Self->ReturnValue;
    }
    // On the main thread the awaited thread may itself be waiting in Synchronize, so its calls are
    // always served here. Other threads' calls are served only at the outermost level: inside a call
    // that is already running they wait, like everything else queued, until that call has returned.
    while (!Self->Finished) {
        const auto it =
            std::find_if(queue.Calls.begin(), queue.Calls.end(), [this, &queue](const SyncCall* call) {
                return queue.Depth == 0 || call->Owner == Self;
            });
        if (it == queue.Calls.end()) {
            queue.Changed.wait(lock);
            continue;
        }
        SyncCall* call = *it;
        queue.Calls.erase(it);
        RunCall(lock, call);
    }
    RewakeIfLeft(lock);
    return Self->ReturnValue;
}

int TThread::GetReturnValue() const {
    return Self->ReturnValue;
}

void TThread::SetPriority(TThreadPriority priority) {
    Self->Priority = priority;
    ApplyPriority(Self->NativeId, priority);
}

TThreadPriority TThread::GetPriority() const {
    return Self->Priority;
}

void TThread::Synchronize(const std::function<void()>& method) {
    if (ThreadSync::IsMainThread()) {
        method();
        return;
    }
    SyncQueue& queue = Queue();
    SyncCall call;
    call.Method = &method;
    call.Owner = Self;
    std::function<void()> wake;
    {
        std::lock_guard lock(queue.Lock);
        if (Self->SyncDiscarded) {
            return;
        }
        queue.Calls.push_back(&call);
        queue.Changed.notify_all();
        wake = queue.Wake;
    }
    if (wake) {
        wake();
    }
    {
        std::unique_lock lock(queue.Lock);
        queue.CallDone.wait(lock, [&call] { return call.Done; });
    }
    if (call.Error) {
        std::rethrow_exception(call.Error);
    }
}

void TThread::DiscardSynchronize() {
    SyncQueue& queue = Queue();
    std::lock_guard lock(queue.Lock);
    Self->SyncDiscarded = true;
    const auto own = std::remove_if(queue.Calls.begin(), queue.Calls.end(), [this](SyncCall* call) {
        if (call->Owner != Self) {
            return false;
        }
        call->Done = true; // released without running
        return true;
    });
    if (own != queue.Calls.end()) {
        queue.Calls.erase(own, queue.Calls.end());
        queue.CallDone.notify_all();
    }
}

void TThread::SetReturnValue(int value) {
    Self->ReturnValue = value;
}

void TThread::TerminateAndWait() {
    Terminate();
    Resume();
    WaitFor();
}

namespace ThreadSync {

void SetMainThread() {
    MainThread = std::this_thread::get_id();
}

bool IsMainThread() {
    AdoptMainThreadIfUnset();
    return MainThread.load() == std::this_thread::get_id();
}

void SetWakeMainThread(std::function<void()> wake) {
    SyncQueue& queue = Queue();
    std::lock_guard lock(queue.Lock);
    queue.Wake = std::move(wake);
}

bool CheckSynchronize(std::chrono::milliseconds timeout) {
    if (!IsMainThread()) {
        return false;
    }
    SyncQueue& queue = Queue();
    std::unique_lock lock(queue.Lock);
    // Never served re-entrantly. The update procedure runs inside the I/O thread's delivery call, and a
    // message box it shows runs a nested event loop that comes here. Were the connector's close of the
    // port served there, its close handler would wait for the I/O thread to stop while the I/O thread
    // waits for the delivery that is blocked underneath: a frozen window. So a nested level runs
    // nothing; the calls wait until the outer call returns and the outer level runs them.
    if (queue.Depth > 0) {
        if (timeout.count() > 0) {
            queue.Changed.wait_for(lock, timeout, [] { return false; });
        }
        return false;
    }
    if (queue.Calls.empty() && timeout.count() > 0) {
        queue.Changed.wait_for(lock, timeout, [&queue] { return !queue.Calls.empty(); });
    }
    bool ran = false;
    while (!queue.Calls.empty()) {
        SyncCall* call = queue.Calls.front();
        queue.Calls.pop_front();
        RunCall(lock, call);
        ran = true;
    }
    RewakeIfLeft(lock);
    return ran;
}

bool InSynchronizedCall() {
    if (!IsMainThread()) {
        return false;
    }
    SyncQueue& queue = Queue();
    std::lock_guard lock(queue.Lock);
    return queue.Depth > 0;
}

} // namespace ThreadSync
