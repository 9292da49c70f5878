#include "Common/share_work.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <string>

namespace kest {

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
    if (queue.count() <= queue.chunk() || env->ProcessorCount() == 1) return;
    std::string setting;
    if (env->GetVariable(kHelperThreadVariable, &setting) && setting == "0") return;
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

}  // namespace kest
