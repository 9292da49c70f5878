// Indexed work spread over the calling thread and a second one: the
// searches whose items are independent of one another, and the judging of
// a scan's slots ahead of it. At most one such second thread runs for each
// of them, and none outlives the object that started it; it comes from
// Env::StartThread, and a host turns it off by setting the environment
// variable named by kHelperThreadVariable to "0".
#ifndef KEST_COMMON_SHARE_WORK_H_
#define KEST_COMMON_SHARE_WORK_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/env.h"

namespace kest {

inline constexpr char kHelperThreadVariable[] = "KEST_HELPER_THREAD";

// Runs work(i) once for each i in [0, count). The items are taken `chunk`
// at a time by the calling thread and, where one can be started, by a
// second thread; work must be safe to run on two items at once. No second
// thread is started for a single chunk, on a machine of one processor,
// when the host turned it off, or when `env` has none to give: the calling
// thread then does it all, with the same results.
//
// announce(k) runs on the calling thread only, once for each k from 0 to
// count - 1 in that order: before the calling thread works a chunk it
// announces as many items, and it announces the rest once the second
// thread has finished. Progress reports and break polls go there, and so
// stay on the host's thread and in their order.
//
// What announce or work throws, on either thread, stops both from taking
// more items and passes out once the second thread has ended; the items
// already taken may then be partly done.
void shareWork(uint32_t count, uint32_t chunk, const std::function<void(uint32_t)>& work,
               const std::function<void(uint32_t)>& announce,
               platform::Env* env = platform::Env::Default());

// The same work with a head start: the second thread begins on the items
// when the object is made, while the calling thread is still busy with
// something else; finish() has the calling thread join in, exactly as
// shareWork does (announcements included, all of them on the calling
// thread, none before finish). An object dropped before finish stops the
// second thread after the chunk it holds and waits for it: a run that
// ends early does not wait for work it will not use. `work` is kept by
// the object and must stay usable until it is finished or dropped.
class WorkAhead {
 public:
  WorkAhead(uint32_t count, uint32_t chunk, std::function<void(uint32_t)> work,
            platform::Env* env = platform::Env::Default());
  ~WorkAhead();
  WorkAhead(const WorkAhead&) = delete;
  WorkAhead& operator=(const WorkAhead&) = delete;

  // Once only.
  void finish(const std::function<void(uint32_t)>& announce);

 private:
  class Queue;
  class Helper;
  std::function<void(uint32_t)> work_;
  std::unique_ptr<Queue> queue_;
  std::unique_ptr<Helper> helper_;
};

// Items worked ahead of a calling thread that takes their results in
// order: the second thread works the items one after another into a ring
// of `places` places, at most that many past the oldest one the caller
// still holds; the caller, where the item it asks for is not ready, works
// the next item not taken itself rather than wait, and waits only for the
// one item the second thread is at. Each item is worked once, by either
// thread. Without a second thread (see above) the caller works them all,
// with the same results.
//
// work(item, place, onCaller) writes the item's results into the caller's
// storage for `place`, and returns false where it could not (the item then
// has no results: the caller goes without). It must not throw, and runs on
// both threads at once for different items; `onCaller` tells the two apart
// so that each may keep its own buffers.
class ResultsAhead {
 public:
  using Work = std::function<bool(uint32_t item, uint32_t place, bool onCaller)>;
  ResultsAhead(uint32_t count, uint32_t places, Work work,
               platform::Env* env = platform::Env::Default());
  // Stops the second thread after the item it is at, and waits for it.
  ~ResultsAhead();
  ResultsAhead(const ResultsAhead&) = delete;
  ResultsAhead& operator=(const ResultsAhead&) = delete;

  // The place holding `item`'s results, worked by now; nullopt where the
  // item's work failed, or where it is released, past the end, or more than
  // `places` items past the oldest held. Calling thread only.
  std::optional<uint32_t> await(uint32_t item);
  // The caller holds no item below `item` any more: their places may take
  // items further on, and asking for them gives nullopt. Calling thread
  // only; an item below an earlier one changes nothing.
  void release(uint32_t item);

 private:
  class State;
  std::unique_ptr<State> state_;
  std::unique_ptr<platform::Thread> thread_;
};

}  // namespace kest

#endif  // KEST_COMMON_SHARE_WORK_H_
