// The notification hub's promise that the backends' own tests cannot stage: a released
// observer is never called, even for a notification raised before the release whose delivery
// was already on its way (collected in an outbox, or queued on the observer's dispatch or the
// main queue).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sys/notify_hub.h"

namespace mirvex::sys {
namespace {

TEST(NotifyHub, AReleasedAccessibilityObserverIsNeverCalled) {
  VirtualQueue queue;
  NotifyHub hub(queue);
  std::vector<std::string> got;
  std::vector<Task> run_loop;  // the observer's dispatch target, run by hand
  const AxObserverId obs = hub.ax_create(7, [&](const AxElement&, const std::string& n, int64_t) { got.push_back(n); });
  ASSERT_EQ(hub.ax_add(obs, AxElement{7, 0}, ax::TITLE_CHANGED, 0), ax_error::SUCCESS);
  hub.ax_schedule(obs, [&](Task t) { run_loop.push_back(std::move(t)); });

  // Raised and dispatched before the release, run after it.
  NotifyHub::Outbox out;
  hub.ax_note(out, 7, AxElement{7, 5}, ax::TITLE_CHANGED);
  for (Task& t : out) t();
  ASSERT_EQ(run_loop.size(), 1u);
  // Raised before the release, still in the backend's outbox at the release.
  NotifyHub::Outbox late;
  hub.ax_note(late, 7, AxElement{7, 5}, ax::TITLE_CHANGED);
  ASSERT_EQ(late.size(), 1u);

  hub.ax_release(obs);
  for (Task& t : late) t();
  for (Task& t : run_loop) t();
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(hub.ax_owner(obs), std::nullopt);
  EXPECT_EQ(hub.ax_add(obs, AxElement{7, 0}, ax::TITLE_CHANGED, 0), ax_error::INVALID_OBSERVER);
}

TEST(NotifyHub, AnUnobservedWorkspaceCallbackIsNeverCalledButOthersAre) {
  VirtualQueue queue;
  NotifyHub hub(queue);
  int gone = 0, kept = 0;
  const uint64_t token = hub.workspace_observe(note::LAUNCHED, [&](const WorkspaceNote&) { ++gone; });
  hub.workspace_observe(note::LAUNCHED, [&](const WorkspaceNote&) { ++kept; });
  NotifyHub::Outbox out;
  hub.workspace_note(out, note::LAUNCHED, AppInfo{});
  for (Task& t : out) t();  // both posted to the main queue
  hub.workspace_unobserve(token);
  queue.run_due();
  EXPECT_EQ(gone, 0);
  EXPECT_EQ(kept, 1);
}

}  // namespace
}  // namespace mirvex::sys
