#include "app/restore.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "app/input.h"
#include "core/hyper_map.h"
#include "sys/sim/sim.h"

namespace mirvex::input {
namespace {

constexpr uint64_t A = hyper::USAGE_PAGE | 0x04, B = hyper::USAGE_PAGE | 0x05;

// A child process running the input layer on a sim of its own, with a ⌘Tab trigger (so the
// system switcher is off) and the hyper key on Caps Lock; the sim traces symbolic hot-key
// changes and programs into a file the parent reads. The parent never touches the port, so
// each child resolves everything afresh.
class RestoreTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/mirvex-restore-XXXXXX";
    trace_fd_ = ::mkstemp(name);
    ASSERT_GE(trace_fd_, 0);
    trace_path_ = name;
    ASSERT_EQ(::pipe(ready_), 0);
  }
  void TearDown() override {
    ::close(trace_fd_);
    ::close(ready_[0]);
    ::unlink(trace_path_.c_str());
  }

  // Forks; the child sets up, says ready, then runs `then` (which must not return).
  pid_t spawn(const std::function<void()>& before, const std::function<void()>& then) {
    const pid_t pid = ::fork();
    if (pid != 0) {
      ::close(ready_[1]);
      char c = 0;
      EXPECT_EQ(::read(ready_[0], &c, 1), 1) << "child did not get ready";
      return pid;
    }
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    before();
    static sys::VirtualQueue queue;  // made in the child, whose main thread this is
    static sys::sim::Sim sim(queue);
    sim.set_trace_fd(trace_fd_);
    sim.set_key_mapping(sys::sim::Sim::KeyMapping{{A, B}});
    sys::install(sim, queue);
    Settings s = Settings::defaults();
    s.hyperKey = 1;
    apply(s);
    Shared shared;
    shared.handler = [](const Input&) {};
    if (!start(shared)) ::_exit(90);
    install_restore_guards();
    if (::write(ready_[1], "r", 1) != 1) ::_exit(91);
    then();
    ::_exit(92);
  }

  // The trace: the last state of each symbolic hot key, and the programs run.
  struct Trace {
    std::map<int, bool> symbolic;
    std::vector<std::string> runs;
  };
  Trace trace() const {
    std::ifstream in(trace_path_);
    Trace t;
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string kind;
      words >> kind;
      if (kind == "symbolic") {
        int id = 0, on = 0;
        words >> id >> on;
        t.symbolic[id] = on != 0;
      } else if (kind == "run") {
        t.runs.push_back(line.substr(4));
      }
    }
    return t;
  }
  void expect_switcher(bool on) const {
    const Trace t = trace();
    ASSERT_TRUE(t.symbolic.count(1) && t.symbolic.count(2));
    EXPECT_EQ(t.symbolic.at(1), on);
    EXPECT_EQ(t.symbolic.at(2), on);
  }
  static int wait(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return status;
  }

  int trace_fd_ = -1;
  int ready_[2] = {-1, -1};
  std::string trace_path_;
};

[[noreturn]] void forever() {
  for (;;) ::pause();
}

TEST_F(RestoreTest, KillingWithASignalLeavesTheSystemSwitcherOn) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    TearDown();
    SetUp();
    const pid_t pid = spawn([] {}, forever);
    expect_switcher(false);  // the trigger had taken ⌘Tab
    ASSERT_EQ(::kill(pid, sig), 0);
    const int status = wait(pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << sig;
    EXPECT_EQ(WTERMSIG(status), sig);  // the signal still ends the process
    expect_switcher(true);
  }
}

TEST_F(RestoreTest, NormalExitAlsoRemovesTheHyperMapping) {
  const pid_t pid = spawn([] {}, [] { std::exit(0); });
  const int status = wait(pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  expect_switcher(true);
  const Trace t = trace();
  const std::string set = "/usr/bin/hidutil property --set ";
  ASSERT_GE(t.runs.size(), 4u);
  EXPECT_EQ(t.runs[t.runs.size() - 3], set + hyper::to_json({{A, B}, {hyper::usage(1).value(), hyper::F18}}));
  EXPECT_EQ(t.runs.back(), set + hyper::to_json({{A, B}}));
}

TEST_F(RestoreTest, FatalStopRestoresFirst) {
  const pid_t pid = spawn([] {}, [] { sys::stop("boom"); });
  const int status = wait(pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  expect_switcher(true);
}

TEST_F(RestoreTest, IgnoredHangUpStaysIgnored) {
  const pid_t pid = spawn([] { std::signal(SIGHUP, SIG_IGN); }, forever);
  ASSERT_EQ(::kill(pid, SIGHUP), 0);
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  const int status = wait(pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  expect_switcher(true);
}

}  // namespace
}  // namespace mirvex::input
