// One piece of indexed work spread over the calling thread and a second
// one, for the searches whose items are independent of one another.
#ifndef KEST_COMMON_SHARE_WORK_H_
#define KEST_COMMON_SHARE_WORK_H_

#include <cstdint>
#include <functional>

namespace kest {

// Runs work(i) once for each i in [0, count). The items are taken `chunk`
// at a time by the calling thread and, where one can be started, by a
// second thread; work must be safe to run on two items at once.
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
               const std::function<void(uint32_t)>& announce);

}  // namespace kest

#endif  // KEST_COMMON_SHARE_WORK_H_
