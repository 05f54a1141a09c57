// The command line of the mirvex program: only the first argument is a flag; anything else
// (none, "-key value" preference arguments, an unknown word) starts the application.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirvex::cli {

enum class Kind : uint8_t {
  Run,           // start the application
  Bench,         // --bench: start without the single-instance test, onboarding or input layer
  Restore,       // --restore: re-enable the system ⌘Tab and ⌘⇧Tab, exit
  ScreenAccess,  // --screen-access: exit 0 when screen recording is allowed, else 1
  ShotPanel,     // --shot-panel <dir>: the off-screen panel images
  Focus,         // --focus <wid> [pid]: focus one window and report
  Dump,          // --dump: print the model and the entry lists, exit
};

struct Command {
  Kind kind = Kind::Run;
  std::vector<std::string> args;  // every argument after the program name

  // The argument after the flag, if any.
  std::optional<std::string_view> operand() const {
    return args.size() > 1 ? std::optional<std::string_view>(args[1]) : std::nullopt;
  }
};

// The command for argv[1..].
Command parse(int argc, const char* const* argv);

// Creates a screenshot directory (all permissions, recursively) for a --shot-* flag. A missing
// directory argument stops with "--shot-* <dir>", a directory that cannot be made with
// "cannot create the shot directory". Returns the directory.
std::string shot_dir(const std::optional<std::string_view>& dir);

}  // namespace mirvex::cli
