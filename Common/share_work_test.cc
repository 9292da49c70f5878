#include "Common/share_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace kest
