#include "core/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace mirvex {
namespace {

std::string LAST_SYSTEM;
void capture(std::string_view line) { LAST_SYSTEM = std::string(line); }

TEST(Log, NulReachesStderrUnchangedAndTheSystemLogWithout) {
  log::set_system_sink(capture);
  log::set_stderr(true);
  testing::internal::CaptureStderr();
  const std::string line("ax: a\0b", 7);
  log::log(line);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, line + "\n");
  EXPECT_EQ(LAST_SYSTEM, "ax: ab");
  log::set_stderr(false);
  log::set_system_sink(nullptr);
}

TEST(Log, StderrOnlyWhenEnabled) {
  log::set_system_sink(capture);
  log::set_stderr(false);
  testing::internal::CaptureStderr();
  log::log("prefs: quiet");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(LAST_SYSTEM, "prefs: quiet");
  log::set_system_sink(nullptr);
}

TEST(Log, EnvironmentVariablePresentEvenEmptyEnables) {
  ::setenv("MIRVEX_STDERR", "", 1);
  log::init_from_env();
  EXPECT_TRUE(log::stderr_enabled());
  ::unsetenv("MIRVEX_STDERR");
  log::init_from_env();
  EXPECT_FALSE(log::stderr_enabled());
}

TEST(Log, MsMeasuresElapsedTime) {
  const auto start = log::Instant::clock::now() - std::chrono::milliseconds(250);
  const double elapsed = log::ms(start);
  EXPECT_GE(elapsed, 250.0);
  EXPECT_LT(elapsed, 250.0 + 60'000.0);
}

}  // namespace
}  // namespace mirvex
