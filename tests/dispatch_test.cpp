#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "support/WorkerHarness.h"
#include "workers/MainThreadDispatch.h"

// Main-thread dispatch without any event loop: the test's main thread plays
// the loop by calling CheckSynchronize.

using ::testing::ElementsAre;

namespace {

// Counts wake-ups; each queued request asks for one.
class WakeCounter {
 public:
  WakeCounter() {
    SetWakeMainThread([this] { ++FCount; });
  }
  ~WakeCounter() { SetWakeMainThread(nullptr); }
  int Count() const { return FCount; }
  bool WaitFor(int Count) const {
    return WorkerPumpUntilIdle([&] { return FCount >= Count; });
  }

 private:
  // Waits without running requests, so they stay queued.
  static bool WorkerPumpUntilIdle(const std::function<bool()>& Done) {
    for (int i = 0; i < 10000; ++i) {
      if (Done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Done();
  }

  std::atomic<int> FCount{0};
};

}  // namespace

TEST(MainThreadDispatch, RunsRequestsOnTheMainThreadInArrivalOrder) {
  WakeCounter wakes;
  const std::thread::id mainThread = std::this_thread::get_id();
  std::vector<std::string> ran;
  std::vector<std::thread> workers;
  // Each request is queued (its wake-up seen) before the next thread starts,
  // so arrival order is known; none runs before CheckSynchronize.
  for (const char* name : {"first", "second", "third"}) {
    const int before = wakes.Count();
    workers.emplace_back([&ran, &mainThread, name] {
      Synchronize([&ran, &mainThread, name] {
        EXPECT_EQ(std::this_thread::get_id(), mainThread);
        ran.emplace_back(name);
      });
    });
    ASSERT_TRUE(wakes.WaitFor(before + 1));
  }
  EXPECT_TRUE(ran.empty());
  EXPECT_TRUE(CheckSynchronize());
  for (auto& worker : workers) worker.join();
  EXPECT_THAT(ran, ElementsAre("first", "second", "third"));
  EXPECT_FALSE(CheckSynchronize());
}

TEST(MainThreadDispatch, AnErrorOfTheMethodIsRaisedAgainInTheWorker) {
  std::string caught;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      Synchronize([] { throw EFileError("Cannot create file Checks20240305140709"); });
    } catch (const EFileError& error) {
      caught = error.what();
    }
    done = true;
  });
  EXPECT_TRUE(WorkerPumpUntil([&] { return done.load(); }, 10000));
  worker.join();
  EXPECT_EQ(caught, "Cannot create file Checks20240305140709");
}

TEST(MainThreadDispatch, CalledOnTheMainThreadItRunsAtOnce) {
  bool ran = false;
  Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
}

// A request that runs a nested event loop (a message box) must not start the
// next request inside itself; the next one runs right after it, in the same
// outer call, even though its wake-up was used up by the nested loop.
TEST(MainThreadDispatch, RequestsNeverOverlapThroughANestedLoop) {
  WakeCounter wakes;
  std::vector<std::string> ran;
  std::thread second;
  std::thread first([&] {
    Synchronize([&] {
      ran.emplace_back("first begins");
      second = std::thread([&] { Synchronize([&] { ran.emplace_back("second"); }); });
      ASSERT_TRUE(wakes.WaitFor(2));
      EXPECT_FALSE(CheckSynchronize());
      ran.emplace_back("first ends");
    });
  });
  ASSERT_TRUE(wakes.WaitFor(1));
  EXPECT_TRUE(CheckSynchronize());
  first.join();
  second.join();
  EXPECT_THAT(ran, ElementsAre("first begins", "first ends", "second"));
}

// Many workers at once, each waiting for its own request: every request runs
// exactly once, on the main thread, and each worker sees its own result.
TEST(MainThreadDispatch, ManyWorkersEachGetTheirOwnAnswer) {
  constexpr int Threads = 4;
  constexpr int Requests = 200;
  int total = 0;  // main thread only
  std::atomic<int> finished{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> workers;
  workers.reserve(Threads);
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < Requests; ++i) {
        int answer = -1;
        Synchronize([&] {
          ++total;
          answer = t * Requests + i;
        });
        if (answer != t * Requests + i) ++wrong;
        if (i % 50 == 0) {
          try {
            Synchronize([] { throw std::runtime_error("odd"); });
            ++wrong;
          } catch (const std::runtime_error&) {
          }
        }
      }
      ++finished;
    });
  }
  EXPECT_TRUE(WorkerPumpUntil([&] { return finished == Threads; }, 60000));
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(total, Threads * Requests);
  EXPECT_EQ(wrong, 0);
}
