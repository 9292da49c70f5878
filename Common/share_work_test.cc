#include "Common/share_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"

namespace kest {
namespace {

TEST(ShareWork, WorksEveryItemOnceAndAnnouncesEachInOrderOnTheCaller) {
  for (uint32_t count : {0u, 1u, 5u, 64u, 65u, 1000u}) {
    for (uint32_t chunk : {0u, 1u, 7u, 64u, 5000u}) {
      SCOPED_TRACE(testing::Message() << count << " items in chunks of " << chunk);
      std::vector<std::atomic<int>> worked(count);
      std::vector<uint32_t> announced;
      const std::thread::id caller = std::this_thread::get_id();
      // Items that take a while, so that the second thread gets some.
      auto work = [&](uint32_t i) {
        worked[i].fetch_add(1);
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        while (std::chrono::steady_clock::now() < until) {
        }
      };
      shareWork(
          count, chunk, work,
          [&](uint32_t k) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            announced.push_back(k);
          });
      for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(worked[i].load(), 1) << "item " << i;
      ASSERT_EQ(announced.size(), count);
      for (uint32_t k = 0; k < count; ++k) ASSERT_EQ(announced[k], k);
    }
  }
}

// What either side throws passes out, after the second thread has ended:
// nothing runs once shareWork has returned.
TEST(ShareWork, WhatWorkOrAnnounceThrowsPassesOutAndStopsTheWork) {
  struct Case {
    const char* name;
    bool inWork;
    uint32_t at;
  };
  for (Case c : {Case{"work, early", true, 3}, Case{"work, late", true, 900},
                 Case{"announce, early", false, 3}, Case{"announce, late", false, 900}}) {
    SCOPED_TRACE(c.name);
    std::atomic<uint32_t> running{0};
    std::atomic<uint32_t> worked{0};
    auto work = [&](uint32_t i) {
      running.fetch_add(1);
      if (c.inWork && i == c.at) {
        running.fetch_sub(1);
        throw std::runtime_error("work");
      }
      worked.fetch_add(1);
      running.fetch_sub(1);
    };
    auto announce = [&](uint32_t k) {
      if (!c.inWork && k == c.at) throw std::runtime_error("announce");
    };
    EXPECT_THROW(shareWork(1000, 4, work, announce), std::runtime_error);
    EXPECT_EQ(running.load(), 0u);
    uint32_t after = worked.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(worked.load(), after) << "work went on after shareWork returned";
  }
}

// The helper thread is the host's to refuse and the system's to withhold;
// either way the caller does every item itself.
TEST(ShareWork, RunsOnTheCallerAloneWhenNoHelperThreadIsToBeHad) {
  class ThreadEnv : public platform::EnvWrapper {
   public:
    ThreadEnv() : EnvWrapper(platform::Env::Default()) {}
    platform::Status StartThread(std::function<void()> body,
                                 std::unique_ptr<platform::Thread>* thread) override {
      ++started;
      if (refuse) return platform::Status::Failure(11, "no thread");
      return EnvWrapper::StartThread(std::move(body), thread);
    }
    uint32_t ProcessorCount() override { return processors; }
    bool GetVariable(const char* name, std::string* value) override {
      if (std::string(name) != kHelperThreadVariable || setting == nullptr) return false;
      *value = setting;
      return true;
    }
    bool refuse = false;
    uint32_t processors = 2;
    const char* setting = nullptr;
    int started = 0;
  };
  struct Case {
    const char* name;
    bool refuse;
    uint32_t processors;
    const char* setting;
    int started;
  };
  for (Case c : {Case{"two processors", false, 2, nullptr, 1},
                 Case{"setting other than 0", false, 2, "1", 1},
                 Case{"turned off", false, 2, "0", 0}, Case{"one processor", false, 1, nullptr, 0},
                 Case{"none to be had", true, 2, nullptr, 1}}) {
    SCOPED_TRACE(c.name);
    ThreadEnv env;
    env.refuse = c.refuse;
    env.processors = c.processors;
    env.setting = c.setting;
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<uint32_t> worked{0};
    std::atomic<uint32_t> elsewhere{0};
    shareWork(
        200, 4,
        [&](uint32_t) {
          worked.fetch_add(1);
          if (std::this_thread::get_id() != caller) elsewhere.fetch_add(1);
        },
        [](uint32_t) {}, &env);
    EXPECT_EQ(worked.load(), 200u);
    EXPECT_EQ(env.started, c.started);
    if (c.started == 0 || c.refuse) {
      EXPECT_EQ(elsewhere.load(), 0u);
    }
  }
}

// Work begun ahead goes on while the caller is elsewhere; finished, it is
// shareWork's (every item once, every announcement on the caller, in
// order); dropped unfinished, it stops and nothing runs after the drop.
TEST(ShareWork, WorkAheadRunsBeforeFinishAndStopsWhenDropped) {
  constexpr uint32_t kItems = 400;
  for (bool finished : {true, false}) {
    SCOPED_TRACE(finished ? "finished" : "dropped");
    std::vector<std::atomic<int>> worked(kItems);
    std::atomic<uint32_t> total{0};
    auto work = [&](uint32_t i) {
      worked[i].fetch_add(1);
      total.fetch_add(1);
      // Long enough that the caller's wait below ends well before the
      // second thread could run through every item, on a system whose
      // shortest sleep is a timer tick (a sleep under a millisecond may
      // not sleep at all there).
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    {
      WorkAhead ahead(kItems, 4, work);
      // The caller's other work: the second thread is at it meanwhile.
      auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (total.load() == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      EXPECT_GT(total.load(), 0u) << "nothing was done ahead";
      if (finished) {
        const std::thread::id caller = std::this_thread::get_id();
        std::vector<uint32_t> announced;
        ahead.finish([&](uint32_t k) {
          EXPECT_EQ(std::this_thread::get_id(), caller);
          announced.push_back(k);
        });
        for (uint32_t i = 0; i < kItems; ++i) ASSERT_EQ(worked[i].load(), 1) << "item " << i;
        ASSERT_EQ(announced.size(), kItems);
        for (uint32_t k = 0; k < kItems; ++k) ASSERT_EQ(announced[k], k);
      }
    }
    uint32_t after = total.load();
    if (!finished) {
      EXPECT_LT(after, kItems) << "a dropped start ran to its end";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(total.load(), after) << "work went on after the drop";
  }
}

// A scan's use of results ahead: it asks in order, now and then jumps
// ahead (releasing what it passed) or asks beyond the ring; every answer
// it gets is the item's own, each item is worked at most once, and an
// item whose work failed has no answer.
TEST(ResultsAhead, AnswersEachItemWithItsOwnResultsInOrderWhateverTheThreads) {
  struct Case {
    const char* name;
    uint32_t count;
    uint32_t places;
    uint32_t jumpEvery;  // 0: never
    uint32_t failing;    // UINT32_MAX: none
  };
  for (const char* helper : {"1", "0"}) {
    for (Case c : {Case{"one place", 300, 1, 0, UINT32_MAX},
                   Case{"a ring of eight", 3000, 8, 0, UINT32_MAX},
                   Case{"jumps over items", 3000, 8, 97, UINT32_MAX},
                   Case{"a failed item", 500, 4, 0, 123}}) {
      SCOPED_TRACE(testing::Message() << c.name << ", helper thread " << helper);
      class Setting : public platform::EnvWrapper {
       public:
        explicit Setting(const char* value) : EnvWrapper(platform::Env::Default()), value_(value) {}
        bool GetVariable(const char* name, std::string* value) override {
          if (std::string(name) != kHelperThreadVariable) return false;
          *value = value_;
          return true;
        }

       private:
        const char* value_;
      } setting(helper);
      std::vector<std::atomic<int>> worked(c.count);
      std::vector<uint32_t> stored(c.places);
      {
        ResultsAhead ahead(
            c.count, c.places,
            [&](uint32_t item, uint32_t place, bool) {
              worked[item].fetch_add(1);
              if (item % 16 == 0) std::this_thread::yield();
              stored[place] = item;
              return item != c.failing;
            },
            &setting);
        for (uint32_t item = 0; item < c.count; ++item) {
          if (c.jumpEvery != 0 && item % c.jumpEvery == c.jumpEvery - 1) {
            EXPECT_FALSE(ahead.await(item + c.places)) << "beyond the ring";
            item += c.places / 2;
          }
          ahead.release(item);
          std::optional<uint32_t> place = ahead.await(item);
          if (item == c.failing) {
            EXPECT_FALSE(place);
          } else {
            ASSERT_TRUE(place) << "item " << item;
            ASSERT_EQ(stored[*place], item);
          }
          if (item > 0) {
            EXPECT_FALSE(ahead.await(item - 1)) << "released";
          }
        }
      }
      for (uint32_t i = 0; i < c.count; ++i) ASSERT_LE(worked[i].load(), 1) << "item " << i;
    }
  }
}

}  // namespace
}  // namespace kest
