// A fresh configuration folder per test: XDG_CONFIG_HOME points at a new temporary directory,
// "prefs: " log lines are captured, and everything is removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/defaults.h"
#include "core/log.h"

namespace mirvex::testing_config {

// Threads the code under test starts (the focusing thread) log too.
inline std::mutex LOGGED_MU;
inline std::vector<std::string> LOGGED;
inline void capture(std::string_view line) {
  std::lock_guard lock(LOGGED_MU);
  LOGGED.emplace_back(line);
}
inline std::vector<std::string> logged_lines() {
  std::lock_guard lock(LOGGED_MU);
  return LOGGED;
}

inline std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void spit(const std::filesystem::path& p, const std::string& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

inline std::vector<std::filesystem::path> files_starting(const std::filesystem::path& dir,
                                                         const std::string& prefix) {
  std::vector<std::filesystem::path> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().starts_with(prefix)) out.push_back(e.path());
  return out;
}

class ConfigDirTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mirvex-config-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    LOGGED.clear();
    log::set_system_sink(capture);
  }
  void TearDown() override {
    log::set_system_sink(nullptr);
    DEFAULTS_BEFORE_RENAME = nullptr;
    std::filesystem::remove_all(root_);
  }
  std::filesystem::path dir() const { return root_ / "mirvex"; }
  std::filesystem::path file() const { return dir() / "org.mirvex.mirvex.plist"; }
  bool logged(std::string_view prefix) const {
    for (const auto& l : LOGGED)
      if (l.starts_with(prefix)) return true;
    return false;
  }

  std::filesystem::path root_;
};

}  // namespace mirvex::testing_config
