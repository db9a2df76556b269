#include "engine/task_group.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

namespace korvel::engine {

struct TaskGroup::State {
    std::size_t count = 0;
    std::function<void(std::size_t)> work;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> completed{0};
    std::unique_ptr<std::atomic<bool>[]> done;
    std::mutex error_mutex;
    std::exception_ptr error;

    // Takes the next piece; false when none is left.
    bool take(std::size_t& i) {
        i = next.fetch_add(1, std::memory_order_relaxed);
        return i < count;
    }
    void run(std::size_t i) {
        try {
            work(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
        }
        done[i].store(true, std::memory_order_release);
        completed.fetch_add(1, std::memory_order_acq_rel);
    }
    bool all_taken() const { return next.load(std::memory_order_relaxed) >= count; }
};

namespace {

unsigned threads_from_environment() {
    if (const char* s = std::getenv("OMP_NUM_THREADS")) {
        char* end = nullptr;
        const long v = std::strtol(s, &end, 10);
        if (end != s && v > 0) return static_cast<unsigned>(std::min<long>(v, 64));
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return std::clamp(hw == 0 ? 1u : hw, 1u, 8u);
}

}  // namespace

unsigned engine_threads() {
    // hardware_concurrency() reads a file under /sys on every call
    static const unsigned n = threads_from_environment();
    return n;
}

namespace {

// The helper threads: they sleep on a condition variable until a group is posted, take its
// pieces until none is left, and spin briefly before sleeping again, so that the groups of
// one call, posted one after another, find them awake.
class Helpers {
public:
    // The helpers of this process. A child made by fork() has none of its parent's threads
    // (and may have inherited a locked mutex), so it starts helpers of its own. Never
    // destroyed: helpers may still be sleeping when the process exits.
    static Helpers& instance() {
        static std::atomic<Helpers*> helpers{nullptr};
        Helpers* h = helpers.load(std::memory_order_acquire);
        if (h && h->pid_ == getpid()) return *h;
        static std::mutex starting;
        std::lock_guard<std::mutex> lock(starting);
        h = helpers.load(std::memory_order_acquire);
        if (!h || h->pid_ != getpid()) {
            h = new Helpers(engine_threads() - 1);
            helpers.store(h, std::memory_order_release);
        }
        return *h;
    }

    unsigned size() const { return static_cast<unsigned>(threads_.size()); }

    void wake() {
        if (threads_.empty()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            posted_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
    }

    void post(const std::shared_ptr<TaskGroup::State>& group) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(group);
            posted_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
    }

private:
    explicit Helpers(unsigned n) {
        for (unsigned t = 0; t < n; ++t) threads_.emplace_back([this] { loop(); });
        for (auto& t : threads_) t.detach();
    }

    // The first posted group with a piece left, dropping those without.
    std::shared_ptr<TaskGroup::State> pick() {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!queue_.empty() && queue_.front()->all_taken()) queue_.pop_front();
        return queue_.empty() ? nullptr : queue_.front();
    }

    void loop() {
        while (true) {
            // Read before looking at the queue, so that a group posted after the look changes
            // it and is not slept through.
            const std::size_t seen = posted_.load(std::memory_order_acquire);
            if (auto group = pick()) {
                std::size_t i;
                while (group->take(i)) group->run(i);
                continue;
            }
            // Nothing to do: spin for a short while, then sleep until something is posted.
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
            bool posted = false;
            while (std::chrono::steady_clock::now() < until) {
                if (posted_.load(std::memory_order_acquire) != seen) {
                    posted = true;
                    break;
                }
                std::this_thread::yield();
            }
            if (posted) continue;
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return posted_.load(std::memory_order_relaxed) != seen; });
        }
    }

    const pid_t pid_ = getpid();
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<TaskGroup::State>> queue_;
    std::atomic<std::size_t> posted_{0};
};

}  // namespace

void wake_helpers() { Helpers::instance().wake(); }

TaskGroup::TaskGroup(std::size_t count, std::function<void(std::size_t)> work, bool parallel)
    : state_(std::make_shared<State>()) {
    state_->count = count;
    state_->work = std::move(work);
    state_->done.reset(new std::atomic<bool>[count == 0 ? 1 : count]);
    for (std::size_t i = 0; i < count; ++i) state_->done[i].store(false, std::memory_order_relaxed);
    if (parallel && count > 1 && Helpers::instance().size() > 0) Helpers::instance().post(state_);
}

TaskGroup::~TaskGroup() {
    if (waited_) return;
    // Left without wait() (the caller is unwinding): no further piece starts, and the pieces
    // already taken, which use the caller's data, finish before it goes away.
    const std::size_t taken = std::min(state_->next.exchange(state_->count), state_->count);
    while (state_->completed.load(std::memory_order_acquire) < taken) std::this_thread::yield();
}

bool TaskGroup::run_one() {
    std::size_t i;
    if (!state_->take(i)) return false;
    state_->run(i);
    return true;
}

bool TaskGroup::finished(std::size_t i) const { return state_->done[i].load(std::memory_order_acquire); }

void TaskGroup::wait() {
    waited_ = true;
    while (run_one()) {
    }
    while (state_->completed.load(std::memory_order_acquire) < state_->count) std::this_thread::yield();
    if (state_->error) std::rethrow_exception(state_->error);
}

}  // namespace korvel::engine
