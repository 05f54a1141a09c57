#include <gtest/gtest.h>

#include <QCoreApplication>
#include <string>
#include <thread>
#include <vector>

#include "app/qt_main_queue.h"
#include "sys/main_queue.h"

namespace mirvex {
namespace {

using namespace std::chrono_literals;
using sys::VirtualQueue;

TEST(VirtualQueue, RunsDueTasksInOrderOfDueTimeThenPosting) {
  VirtualQueue q;
  const sys::Instant start = q.now();
  std::vector<std::string> ran;
  std::vector<sys::Duration> at;
  auto task = [&](std::string name) {
    return [&, name] {
      ran.push_back(name);
      at.push_back(q.now() - start);
    };
  };
  q.post_after(100ms, task("a100"));
  q.post_after(50ms, task("b50"));
  q.post(task("c0"));
  q.post_after(50ms, task("d50"));
  q.post_after(-5ms, task("e0"));  // a negative delay means now

  EXPECT_EQ(q.advance(49ms), 2u);
  EXPECT_EQ(ran, (std::vector<std::string>{"c0", "e0"}));
  EXPECT_EQ(q.advance(1ms), 2u);
  EXPECT_EQ(ran, (std::vector<std::string>{"c0", "e0", "b50", "d50"}));
  EXPECT_EQ(at[2], sys::Duration(50ms));  // time stands at the task's due instant while it runs
  EXPECT_EQ(q.pending(), 1u);
  q.advance(1s);
  EXPECT_EQ(ran.back(), "a100");
  EXPECT_EQ(at.back(), sys::Duration(100ms));
  EXPECT_EQ(q.now() - start, sys::Duration(1050ms));
}

TEST(VirtualQueue, TasksPostedByTasksRunWhenDueWithinTheSameAdvance) {
  VirtualQueue q;
  const sys::Instant start = q.now();
  std::vector<sys::Duration> retries;
  // A retry loop like the front refresh: first at 60 ms, then every 100 ms, three times.
  std::function<void(int)> attempt = [&](int left) {
    retries.push_back(q.now() - start);
    if (left > 0) q.post_after(100ms, [&, left] { attempt(left - 1); });
  };
  q.post_after(60ms, [&] { attempt(2); });
  q.post([&] { q.post([&] { retries.push_back(sys::Duration(-1)); }); });  // posted for now, runs now

  EXPECT_EQ(q.run_due(), 2u);
  q.advance(1s);
  EXPECT_EQ(retries, (std::vector<sys::Duration>{sys::Duration(-1), 60ms, 160ms, 260ms}));
  EXPECT_EQ(q.pending(), 0u);
}

TEST(VirtualQueue, PostsFromOtherThreadsRunOnTheMainThread) {
  VirtualQueue q;
  bool worker_is_main = true;
  bool ran_on_main = false;
  std::thread worker([&] {
    worker_is_main = q.is_main_thread();
    q.post([&] { ran_on_main = q.is_main_thread(); });
  });
  worker.join();
  EXPECT_FALSE(worker_is_main);
  EXPECT_EQ(q.run_due(), 1u);
  EXPECT_TRUE(ran_on_main);
}

TEST(QtMainQueue, RunsPostsFromAnyThreadOnTheMainThreadInOrderOfDueTime) {
  int argc = 1;
  char name[] = "main_queue_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  QtMainQueue q;
  EXPECT_TRUE(q.is_main_thread());

  std::vector<std::string> ran;
  std::vector<bool> on_main;
  const sys::Instant start = q.now();
  sys::Duration a_after{};
  std::thread worker([&] {
    EXPECT_FALSE(q.is_main_thread());
    q.post_after(30ms, [&] { ran.push_back("b30"); });
    q.post_after(10ms, [&] {
      ran.push_back("a10");
      a_after = q.now() - start;
    });
    q.post([&] {
      ran.push_back("now");
      on_main.push_back(q.is_main_thread());
    });
  });
  worker.join();
  q.post_after(60ms, [] { QCoreApplication::quit(); });
  // The loop starts late, when both delays have passed: overdue tasks still run in the order
  // they fell due, after the task that was due first.
  std::this_thread::sleep_for(40ms);
  QCoreApplication::exec();

  EXPECT_EQ(ran, (std::vector<std::string>{"now", "a10", "b30"}));
  EXPECT_EQ(on_main, std::vector<bool>{true});
  EXPECT_GE(a_after, sys::Duration(10ms));  // a delayed task never runs early
}

}  // namespace
}  // namespace mirvex
