// TThread: the worker-thread class the link is built on, with calls synchronised into the main thread.
#pragma once

#include <chrono>
#include <functional>

enum TThreadPriority { tpNormal, tpHighest };

// A thread object. Derived classes override Execute. A derived destructor must end the thread
// (TerminateAndWait) before its own members go away, because the base destructor runs too late for that.
class TThread {
public:
    // The thread starts at the first Resume, also when CreateSuspended is false: a base constructor
    // cannot start the derived object's Execute before that object exists. Create suspended and
    // Resume once constructed.
    explicit TThread(bool CreateSuspended);
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    virtual ~TThread();

    void Resume();
    void Terminate();
    bool Terminated() const;
    bool Suspended() const;
    bool Finished() const;
    // Waits for the thread's end and returns ReturnValue. On the main thread it keeps serving Synchronize
    // calls (and nothing else) while it waits.
    int WaitFor();
    int GetReturnValue() const;
    void SetPriority(TThreadPriority priority);
    TThreadPriority GetPriority() const;

protected:
    virtual void Execute() = 0;
    // Runs `method` on the main thread while this thread waits for it. An exception thrown by `method`
    // is carried back and rethrown here. On the main thread itself it just calls `method`.
    void Synchronize(const std::function<void()>& method);
    void SetReturnValue(int value);
    // Terminate, resume if suspended, WaitFor: for derived destructors.
    void TerminateAndWait();
    // Main thread: from now on this thread's Synchronize calls are dropped. A call still waiting in the
    // queue returns without running, and later calls return at once; a call already running is not
    // affected. For a thread told to stop, whose owner may then wait for it on the main thread while
    // serving nothing.
    void DiscardSynchronize();

private:
    struct State;
    State* Self;
};

// The main thread's side of Synchronize.
namespace ThreadSync {
// The thread that calls this becomes the main thread (by default the first thread that uses TThread).
void SetMainThread();
bool IsMainThread();
// Called (from any thread) whenever a Synchronize call is queued; the application installs a hook that
// wakes its event loop, which then calls CheckSynchronize. Tests install their own.
void SetWakeMainThread(std::function<void()> wake);
// Runs the queued Synchronize calls on the main thread; waits up to `timeout` for one to arrive when
// none is queued. Returns true when at least one call ran.
bool CheckSynchronize(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
// True on the main thread while it runs a worker's Synchronize call. Calls queued by other threads are
// not served then (CheckSynchronize runs nothing, WaitFor serves only the thread it waits for); they run
// when the outer call has returned.
bool InSynchronizedCall();
} // namespace ThreadSync
