// Work split into pieces, run by the calling thread together with a few helper threads.
//
// The helpers are started once per process and sleep until work is posted. The calling
// thread never waits for a helper to wake up: it runs pieces itself from the start, and at
// the end waits only for pieces a helper has actually taken. A helper that wakes up late
// finds no work left and goes back to sleep. (A fork-join team, by contrast, has every
// thread of the team pass its closing barrier, so one slow wake-up delays the whole call.)
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace korvel::engine {

// Wakes the helper threads ahead of work that is about to be posted (they stay awake for a
// short while): a caller that has some preparation of its own to do first calls this, so
// that the helpers' wake-up overlaps it.
void wake_helpers();

// The number of threads that run the pieces of a group (the caller and its helpers): from
// OMP_NUM_THREADS when set, else the machine's cores, at most 8. Read once per process.
unsigned engine_threads();

class TaskGroup {
public:
    // Posts pieces 0..count-1 of work(i); `parallel` false runs them all on the calling
    // thread in wait(), in order. work may throw; the first exception is rethrown by wait().
    TaskGroup(std::size_t count, std::function<void(std::size_t)> work, bool parallel = true);
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;
    ~TaskGroup();

    // Takes and runs the next piece nobody has taken on the calling thread; false when every
    // piece is taken.
    bool run_one();
    // Whether piece i has finished.
    bool finished(std::size_t i) const;
    // Runs pieces until none is left, waits for those in progress, rethrows the first error.
    void wait();

    struct State;

private:
    std::shared_ptr<State> state_;
    bool waited_ = false;
};

}  // namespace korvel::engine
