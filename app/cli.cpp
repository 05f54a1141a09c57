#include "app/cli.h"

#include <filesystem>
#include <system_error>

#include "sys/port.h"

namespace mirvex::cli {

namespace {

struct Flag {
  std::string_view name;
  Kind kind;
};
constexpr Flag FLAGS[] = {
    {"--bench", Kind::Bench},
    {"--restore", Kind::Restore},
    {"--screen-access", Kind::ScreenAccess},
    {"--shot-panel", Kind::ShotPanel},
    {"--focus", Kind::Focus},
    {"--dump", Kind::Dump},
};

}  // namespace

Command parse(int argc, const char* const* argv) {
  Command c;
  for (int i = 1; i < argc; ++i) c.args.emplace_back(argv[i] ? argv[i] : "");
  if (c.args.empty()) return c;
  for (const Flag& f : FLAGS)
    if (c.args.front() == f.name) c.kind = f.kind;
  return c;
}

std::string shot_dir(const std::optional<std::string_view>& dir) {
  if (!dir || dir->empty()) sys::stop("--shot-* <dir>");
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(*dir), ec);
  if (ec || !std::filesystem::is_directory(std::filesystem::path(*dir), ec))
    sys::stop("cannot create the shot directory");
  return std::string(*dir);
}

}  // namespace mirvex::cli
