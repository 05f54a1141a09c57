#include "core/ax_sched.h"

#include <gtest/gtest.h>

namespace mirvex {
namespace {

using Kind = AxRequest::Kind;
using namespace std::chrono_literals;

const AxSched::Instant T0{std::chrono::hours(1)};
constexpr Pid A = 10, B = 20;

AxRequest req(Kind kind, Pid pid, std::vector<Wid> wids = {}) {
  return {kind, pid, std::move(wids)};
}

TEST(AxSched, SubmitMergesByKindAndPid) {
  AxSched s;
  s.submit(req(Kind::Resolve, A, {1, 2}));
  s.submit(req(Kind::Observe, A));
  s.submit(req(Kind::CheckFullscreen, B, {5}));
  s.submit(req(Kind::Resolve, A, {2, 3, 1, 4}));    // merged into the first, keeps its place
  s.submit(req(Kind::CheckFullscreen, B, {6, 5}));  // same rule for CheckFullscreen
  s.submit(req(Kind::Resolve, B, {7}));             // other pid: its own request
  EXPECT_EQ(s.queue(), (std::vector<AxRequest>{
                           req(Kind::Resolve, A, {1, 2, 3, 4}), req(Kind::Observe, A),
                           req(Kind::CheckFullscreen, B, {5, 6}), req(Kind::Resolve, B, {7})}));
}

TEST(AxSched, ObserveReplacesInPlace) {
  AxSched s;
  s.submit(req(Kind::Observe, A, {1}));
  s.submit(req(Kind::Resolve, B, {2}));
  s.submit(req(Kind::Observe, A, {9}));
  EXPECT_EQ(s.queue(),
            (std::vector<AxRequest>{req(Kind::Observe, A, {9}), req(Kind::Resolve, B, {2})}));
}

TEST(AxSched, OneRequestPerApplicationAtATime) {
  AxSched s;
  s.submit(req(Kind::Resolve, A, {1}));
  s.submit(req(Kind::Observe, A));
  s.submit(req(Kind::Resolve, B, {2}));
  EXPECT_EQ(s.next(T0), req(Kind::Resolve, A, {1}));
  EXPECT_TRUE(s.busy(A));
  EXPECT_EQ(s.next(T0), req(Kind::Resolve, B, {2}));  // A busy: B's request, queued later
  EXPECT_EQ(s.next(T0), std::nullopt);
  s.done(A, false, T0);
  EXPECT_EQ(s.next(T0), req(Kind::Observe, A));
  EXPECT_EQ(s.next(T0), std::nullopt);
  s.done(A, false, T0);
  s.done(B, false, T0);
  EXPECT_EQ(s.next(T0), std::nullopt);  // empty queue
  // A request submitted while its pid is being served queues anew instead of merging.
  s.submit(req(Kind::Resolve, A, {1}));
  ASSERT_TRUE(s.next(T0));
  s.submit(req(Kind::Resolve, A, {3}));
  EXPECT_EQ(s.queue(), (std::vector<AxRequest>{req(Kind::Resolve, A, {3})}));
}

TEST(AxSched, BackOffDoublesUpToThirtySecondsAndClearsOnSuccess) {
  AxSched s;
  auto fail_at = [&](AxSched::Instant t) {
    s.submit(req(Kind::Resolve, A, {1}));
    ASSERT_EQ(s.next(t), req(Kind::Resolve, A, {1}));
    s.done(A, true, t);
  };
  // Each failure pauses A; at the pause's end A runs again and fails again.
  AxSched::Instant t = T0;
  for (auto delay : {2s, 4s, 8s, 16s, 30s, 30s}) {
    fail_at(t);
    s.submit(req(Kind::Resolve, A, {1}));
    EXPECT_EQ(s.next(t + delay - 1ms), std::nullopt) << delay.count();
    EXPECT_EQ(s.wake_at(t), t + delay);
    t += delay;  // until equal to now no longer holds the request back
    EXPECT_EQ(s.next(t), req(Kind::Resolve, A, {1})) << delay.count();
    s.release(A);
  }
  // Success clears the back-off: the next failure starts at 2 s again.
  s.submit(req(Kind::Resolve, A, {1}));
  ASSERT_TRUE(s.next(t));
  s.done(A, false, t);
  fail_at(t);
  s.submit(req(Kind::Resolve, A, {1}));
  EXPECT_EQ(s.next(t + 1900ms), std::nullopt);
  EXPECT_TRUE(s.next(t + 2s));
}

TEST(AxSched, BackedOffApplicationDoesNotHoldOthersBack) {
  AxSched s;
  s.submit(req(Kind::Resolve, A, {1}));
  ASSERT_TRUE(s.next(T0));
  s.done(A, true, T0);
  s.submit(req(Kind::Resolve, A, {1}));
  s.submit(req(Kind::Resolve, B, {2}));
  EXPECT_EQ(s.next(T0 + 1s), req(Kind::Resolve, B, {2}));
}

TEST(AxSched, WakeAt) {
  AxSched s;
  EXPECT_EQ(s.wake_at(T0), std::nullopt);  // nothing queued
  s.submit(req(Kind::Resolve, A, {1}));
  s.submit(req(Kind::Resolve, B, {2}));
  ASSERT_TRUE(s.next(T0));  // A busy, no back-off anywhere
  EXPECT_EQ(s.wake_at(T0), std::nullopt);
  s.done(A, true, T0);
  // A backed off but with nothing queued: B's request is not A's.
  EXPECT_EQ(s.wake_at(T0), std::nullopt);
  s.submit(req(Kind::Observe, A));
  EXPECT_EQ(s.wake_at(T0), T0 + 2s);
  EXPECT_EQ(s.wake_at(T0 + 2s), std::nullopt);  // already due: next serves it
}

TEST(AxSched, ForgetDropsEverythingOfOnePid) {
  AxSched s;
  s.submit(req(Kind::Resolve, A, {1}));
  s.submit(req(Kind::Resolve, B, {2}));
  s.submit(req(Kind::Observe, A));
  ASSERT_EQ(s.next(T0), req(Kind::Resolve, A, {1}));
  s.done(A, true, T0);
  s.forget(A);
  EXPECT_EQ(s.queue(), (std::vector<AxRequest>{req(Kind::Resolve, B, {2})}));
  s.submit(req(Kind::Resolve, A, {3}));
  EXPECT_EQ(s.next(T0), req(Kind::Resolve, B, {2}));
  EXPECT_EQ(s.next(T0), req(Kind::Resolve, A, {3}));  // back-off gone

  // forget while busy: the worker's later done is harmless and leaves A idle, even when it
  // reports a failure: a back-off would hold up a new process that reuses the pid.
  s.forget(A);
  EXPECT_FALSE(s.busy(A));
  s.done(A, true, T0);
  s.submit(req(Kind::Resolve, A, {4}));
  EXPECT_EQ(s.wake_at(T0), std::nullopt);
  EXPECT_EQ(s.next(T0), req(Kind::Resolve, A, {4}));
}

TEST(AxSched, ReleaseKeepsBackOff) {
  AxSched s;
  s.submit(req(Kind::Resolve, A, {1}));
  ASSERT_TRUE(s.next(T0));
  s.done(A, true, T0);  // 2 s
  s.submit(req(Kind::Resolve, A, {1}));
  ASSERT_TRUE(s.next(T0 + 2s));
  s.done(A, true, T0 + 2s);  // 4 s: until T0 + 6 s
  s.submit(req(Kind::CheckFullscreen, A, {1}));
  s.release(A);  // A was not busy: harmless
  EXPECT_EQ(s.next(T0 + 5s), std::nullopt);
  auto r = s.next(T0 + 6s);
  ASSERT_EQ(r, req(Kind::CheckFullscreen, A, {1}));
  s.release(A);  // neither success nor failure: the 4 s delay stands for the next failure
  s.submit(req(Kind::Resolve, A, {1}));
  ASSERT_TRUE(s.next(T0 + 6s));
  s.done(A, true, T0 + 6s);
  s.submit(req(Kind::Resolve, A, {1}));
  EXPECT_EQ(s.next(T0 + 13s), std::nullopt);
  EXPECT_TRUE(s.next(T0 + 14s));  // 8 s
}

}  // namespace
}  // namespace mirvex
