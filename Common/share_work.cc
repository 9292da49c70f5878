#include "Common/share_work.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace kest {

namespace {

// Whether a second thread is to be asked for: not on one processor, nor
// where the host turned it off.
bool mayStartHelper(platform::Env* env) {
  if (env->ProcessorCount() == 1) return false;
  std::string setting;
  return !(env->GetVariable(kHelperThreadVariable, &setting) && setting == "0");
}

}  // namespace

// The items not yet taken, handed out a chunk at a time.
class WorkAhead::Queue {
 public:
  Queue(uint32_t count, uint32_t chunk) : count_(count), chunk_(std::max(chunk, 1u)) {}

  // The next chunk as [*first, *end); false when none is left or the work
  // was stopped.
  bool take(uint32_t* first, uint32_t* end) {
    if (stopped_.load(std::memory_order_relaxed)) return false;
    uint64_t from = next_.fetch_add(chunk_, std::memory_order_relaxed);
    if (from >= count_) return false;
    *first = static_cast<uint32_t>(from);
    *end = static_cast<uint32_t>(std::min<uint64_t>(count_, from + chunk_));
    return true;
  }

  void stop() { stopped_.store(true, std::memory_order_relaxed); }
  uint32_t chunk() const { return chunk_; }
  uint32_t count() const { return count_; }

 private:
  const uint32_t count_;
  const uint32_t chunk_;
  std::atomic<uint64_t> next_{0};
  std::atomic<bool> stopped_{false};
};

// The second thread: works chunks until none is left; what it throws is
// kept for the calling thread.
class WorkAhead::Helper {
 public:
  Helper(Queue& queue, const std::function<void(uint32_t)>& work, platform::Env* env) {
    if (queue.count() <= queue.chunk() || !mayStartHelper(env)) return;
    // A failed start leaves thread_ empty: the calling thread does it all.
    (void)env->StartThread(
        [&queue, &work, this] {
          try {
            uint32_t first = 0;
            uint32_t end = 0;
            while (queue.take(&first, &end)) {
              for (uint32_t i = first; i < end; ++i) work(i);
            }
          } catch (...) {
            failure_ = std::current_exception();
            queue.stop();
          }
        },
        &thread_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  ~Helper() { join(); }

  void join() {
    if (thread_) thread_->Join();
  }
  // After join(): rethrows what the thread threw, if anything.
  void rethrow() {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  std::unique_ptr<platform::Thread> thread_;
  std::exception_ptr failure_;
};

WorkAhead::WorkAhead(uint32_t count, uint32_t chunk, std::function<void(uint32_t)> work,
                     platform::Env* env)
    : work_(std::move(work)), queue_(std::make_unique<Queue>(count, chunk)) {
  helper_ = std::make_unique<Helper>(*queue_, work_, env);
}

WorkAhead::~WorkAhead() {
  queue_->stop();
  helper_.reset();
}

void WorkAhead::finish(const std::function<void(uint32_t)>& announce) {
  Queue& queue = *queue_;
  uint32_t announced = 0;
  try {
    uint32_t first = 0;
    uint32_t end = 0;
    while (queue.take(&first, &end)) {
      for (uint32_t n = end - first; n > 0; --n) announce(announced++);
      for (uint32_t i = first; i < end; ++i) work_(i);
    }
  } catch (...) {
    queue.stop();
    helper_->join();
    throw;
  }
  helper_->join();
  helper_->rethrow();
  while (announced < queue.count()) announce(announced++);
}

void shareWork(uint32_t count, uint32_t chunk, const std::function<void(uint32_t)>& work,
               const std::function<void(uint32_t)>& announce, platform::Env* env) {
  WorkAhead ahead(count, chunk, work, env);
  ahead.finish(announce);
}

// What both threads of a ResultsAhead share. A place's mark says which
// item it holds: the item + 1, with kBusy while its work is under way and
// with kFailed where the work failed. Items are taken in order from next_;
// a place is taken again only once the work of its item before is over.
// A thread that must wait sleeps on changed_, which hears of every item
// done, every release and the stop. (Not on the atomics themselves: the
// waits of the standard library's atomics lose wakeups where the system
// has no futex, as under Windows with this compiler.)
class ResultsAhead::State {
 public:
  static constexpr uint32_t kBusy = 0x40000000u;
  static constexpr uint32_t kFailed = 0x80000000u;

  State(uint32_t count, uint32_t places, Work work)
      : count_(std::min(count, kBusy - 1)),
        places_(std::max(places, 1u)),
        work_(std::move(work)),
        marks_(std::make_unique<std::atomic<uint32_t>[]>(places_)) {
    for (uint32_t i = 0; i < places_; ++i) marks_[i].store(0, std::memory_order_relaxed);
  }

  // The second thread: takes the next item while the ring has room for it.
  void workAhead() {
    for (;;) {
      const uint32_t seen = changes_.load(std::memory_order_acquire);
      if (stopped_.load(std::memory_order_acquire)) return;
      uint32_t item = next_.load(std::memory_order_relaxed);
      if (item >= count_) return;
      const uint32_t released = released_.load(std::memory_order_acquire);
      if (item < released) continue;  // a release is moving next_ past it
      if (item - released >= places_) {
        waitFor([&] { return changes_.load(std::memory_order_acquire) != seen; });
        continue;
      }
      if (next_.compare_exchange_weak(item, item + 1, std::memory_order_relaxed)) {
        workItem(item, /*onCaller=*/false);
      }
    }
  }

  std::optional<uint32_t> await(uint32_t item) {
    const uint32_t released = released_.load(std::memory_order_relaxed);
    if (item >= count_ || item < released || item - released >= places_) return std::nullopt;
    std::atomic<uint32_t>& mark = marks_[item % places_];
    for (;;) {
      const uint32_t now = mark.load(std::memory_order_acquire);
      if (now == item + 1) return item % places_;
      if (now == ((item + 1) | kFailed)) return std::nullopt;
      uint32_t free = next_.load(std::memory_order_relaxed);
      if (free <= item) {
        // Not taken yet: the caller takes the next item, this one or one
        // before it.
        if (next_.compare_exchange_strong(free, free + 1, std::memory_order_relaxed)) {
          workItem(free, /*onCaller=*/true);
        }
        continue;
      }
      // The second thread has it: the caller works one further on
      // meanwhile where the ring has room, else waits for it.
      if (free < count_ && free - released < places_ &&
          next_.compare_exchange_strong(free, free + 1, std::memory_order_relaxed)) {
        workItem(free, /*onCaller=*/true);
        continue;
      }
      waitFor([&] { return mark.load(std::memory_order_acquire) != now; });
    }
  }

  void release(uint32_t item) {
    if (item <= released_.load(std::memory_order_relaxed)) return;
    released_.store(item, std::memory_order_release);
    // Items below it not taken yet are not worked at all.
    uint32_t free = next_.load(std::memory_order_relaxed);
    while (free < item &&
           !next_.compare_exchange_weak(free, item, std::memory_order_relaxed)) {
    }
    changes_.fetch_add(1, std::memory_order_release);
    tellChanged();
  }

  void stop() {
    stopped_.store(true, std::memory_order_release);
    changes_.fetch_add(1, std::memory_order_release);
    tellChanged();
  }

 private:
  void workItem(uint32_t item, bool onCaller) {
    const uint32_t place = item % places_;
    std::atomic<uint32_t>& mark = marks_[place];
    // The place's item before may still be under way on the other thread
    // (one released before it was done).
    for (uint32_t now = mark.load(std::memory_order_acquire); (now & kBusy) != 0;
         now = mark.load(std::memory_order_acquire)) {
      waitFor([&] { return mark.load(std::memory_order_acquire) != now; });
    }
    mark.store((item + 1) | kBusy, std::memory_order_relaxed);
    bool worked = false;
    try {
      worked = work_(item, place, onCaller);
    } catch (...) {
      worked = false;
    }
    mark.store(worked ? item + 1 : (item + 1) | kFailed, std::memory_order_release);
    tellChanged();
  }

  // Sleeps until `done` holds; what it reads changes before tellChanged.
  template <typename Done>
  void waitFor(Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, done);
  }
  void tellChanged() {
    // Taken and let go, so that a thread between its test and its sleep
    // hears this.
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
  }

  const uint32_t count_;
  const uint32_t places_;
  const Work work_;
  std::unique_ptr<std::atomic<uint32_t>[]> marks_;
  std::atomic<uint32_t> next_{0};
  std::atomic<uint32_t> released_{0};
  // Bumped at every release and at the stop: the second thread waits for it
  // while the ring is full.
  std::atomic<uint32_t> changes_{0};
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
};

ResultsAhead::ResultsAhead(uint32_t count, uint32_t places, Work work, platform::Env* env)
    : state_(std::make_unique<State>(count, places, std::move(work))) {
  if (count < 2 || !mayStartHelper(env)) return;
  // A failed start leaves thread_ empty: the caller works every item.
  (void)env->StartThread([state = state_.get()] { state->workAhead(); }, &thread_);
}

ResultsAhead::~ResultsAhead() {
  state_->stop();
  if (thread_) thread_->Join();
}

std::optional<uint32_t> ResultsAhead::await(uint32_t item) { return state_->await(item); }

void ResultsAhead::release(uint32_t item) { state_->release(item); }

}  // namespace kest
