// Shared fixture of the X11 integration tests: the display started by the CTest fixture
// (tests/x11/x11_env.sh), the backend over it, our test client, and waiting with the main
// queue pumped. Without a display the tests skip.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sys/x11/backend.h"

namespace mirvex::sys::x11::test {

struct Client {
  pid_t pid = 0;
  Wid wid = 0;
};

class X11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream f(std::string(MIRVEX_X11_ENV) + "/display");
    std::string display;
    if (!(f >> display)) GTEST_SKIP() << "no X test display (Xvfb/openbox not started)";
    ::setenv("DISPLAY", display.c_str(), 1);
    x = std::make_unique<X11>(queue, nullptr);
  }
  void TearDown() override {
    for (const Client& c : clients) ::kill(c.pid, SIGKILL), ::waitpid(c.pid, nullptr, 0);
    x.reset();
  }

  // Starts the test client with `args` and waits until it reports its window.
  Client start(std::vector<std::string> args) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      std::vector<char*> argv{const_cast<char*>(MIRVEX_XCLIENT)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(MIRVEX_XCLIENT, argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    FILE* in = ::fdopen(fds[0], "r");
    unsigned wid = 0;
    EXPECT_EQ(std::fscanf(in, "%u", &wid), 1);
    std::fclose(in);
    Client c{pid, Wid(wid)};
    clients.push_back(c);
    // Managed: the window manager lists it.
    EXPECT_TRUE(wait([&] { return listed(c.wid); })) << "client window never managed";
    return c;
  }

  // Starts an outside program (killed at the end of the test).
  pid_t start_outside(std::vector<std::string> argv) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::vector<char*> av;
      for (auto& a : argv) av.push_back(a.data());
      av.push_back(nullptr);
      ::execvp(av[0], av.data());
      ::_exit(127);
    }
    clients.push_back(Client{pid, 0});
    return pid;
  }

  // The window-list entry titled `title`, if listed.
  std::optional<Value> entry_titled(const std::string& title) {
    auto l = x->window_list(0, 0);
    for (const Value& e : *l->array())
      if (const Value* n = e.get(wl::NAME); n && n->string() && *n->string() == title) return e;
    return std::nullopt;
  }

  // The attribute's value; a failed call fails the test, naming the attribute and the error
  // (and answers null), rather than throwing out of the test body.
  Value attr(const AxElement& e, std::string_view name) {
    auto r = x->ax_copy(e, name);
    EXPECT_TRUE(r.ok()) << name << " of " << e.pid << "/" << e.id << " failed: " << r.error();
    return r.ok() ? r.value() : Value();
  }

  bool listed(Wid wid) {
    auto l = x->window_list(0, 0);
    for (const Value& e : *l->array())
      if (const Value* n = e.get(wl::NUMBER); n && n->number()->as_int64() == wid) return true;
    return false;
  }

  // Pumps the main queue until `pred` holds (10 s at most: the test machine may be loaded).
  template <class P>
  bool wait(P pred) {
    for (int i = 0; i < 1000; ++i) {
      queue.run_due();
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  static std::string run(const std::string& cmd) {
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
      char buf[256];
      while (std::fgets(buf, sizeof buf, p)) out += buf;
      ::pclose(p);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  VirtualQueue queue;
  std::unique_ptr<X11> x;
  std::vector<Client> clients;
};

}  // namespace mirvex::sys::x11::test
