#include "app/diagnostics_focus.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <chrono>

#include "app/focus.h"
#include "app/ws.h"
#include "core/log.h"

namespace mirvex::diagnostics {

namespace {

template <class T>
std::optional<T> parse_decimal(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);
  // One sign at most: from_chars would read a "-" after the "+".
  if (text.empty() || text.front() == '+' || (plus && text.front() == '-')) return std::nullopt;
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Wid> parse_wid(std::string_view text) { return parse_decimal<Wid>(text); }
std::optional<Pid> parse_pid(std::string_view text) { return parse_decimal<Pid>(text); }

std::optional<std::string> focus_command(const std::vector<std::string>& args, std::ostream& out,
                                         std::function<void(int status)> finish) {
  std::optional<Wid> wid = args.empty() ? std::nullopt : parse_wid(args[0]);
  if (!wid) return "--focus <wid> [pid]";

  std::optional<Pid> pid;
  if (auto snap = ws::snapshot()) {
    auto it = std::find_if(snap->windows.begin(), snap->windows.end(), [&](const WindowInfo& w) { return w.wid == *wid; });
    if (it != snap->windows.end()) pid = it->pid;
  }
  if (!pid && args.size() > 1) pid = parse_pid(args[1]);
  if (!pid) return "wid unknown to the window server; pass its pid";

  const auto start = std::chrono::steady_clock::now();
  entry::Window target;
  target.wid = *wid;
  target.pid = *pid;
  focus::focus(target, [&out, finish = std::move(finish), wid = *wid, pid = *pid, start](bool ok) {
    out << fmt::format("focus wid={} pid={} ok={} elapsed={:.1f}ms\n", wid, pid, ok, log::ms(start));
    out.flush();
    finish(0);
  });
  return std::nullopt;
}

}  // namespace mirvex::diagnostics
