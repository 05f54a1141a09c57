#include "core/log.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

namespace mirvex::log {

namespace {

std::atomic<bool> STDERR{false};
std::atomic<Sink> SYSTEM_SINK{nullptr};
std::once_flag OPENED;

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failing standard error
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

void set_stderr(bool on) { STDERR.store(on, std::memory_order_relaxed); }
bool stderr_enabled() { return STDERR.load(std::memory_order_relaxed); }
void init_from_env() { set_stderr(std::getenv("MIRVEX_STDERR") != nullptr); }
void set_system_sink(Sink sink) { SYSTEM_SINK.store(sink); }

void log(std::string_view line) {
  if (stderr_enabled()) {
    // One write, so lines from several threads never interleave.
    std::string out;
    out.reserve(line.size() + 1);
    out.append(line);
    out.push_back('\n');
    write_all(STDERR_FILENO, out.data(), out.size());
  }
  std::string clean;
  clean.reserve(line.size());
  for (char c : line)
    if (c != '\0') clean.push_back(c);
  if (Sink sink = SYSTEM_SINK.load()) {
    sink(clean);
    return;
  }
  std::call_once(OPENED, [] { ::openlog(BUNDLE_ID, LOG_PID, LOG_USER); });
  ::syslog(LOG_DEBUG, "%s", clean.c_str());
}

double ms(Instant since) {
  auto d = std::chrono::steady_clock::now() - since;
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace mirvex::log
