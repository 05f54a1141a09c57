// Processes, the application registry (.desktop files), the login item (XDG autostart) and the
// application's own window stacking.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/log.h"
#include "sys/x11/backend.h"

extern char** environ;

namespace mirvex::sys::x11 {

namespace fs = std::filesystem;

namespace {

std::vector<char*> argv_of(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

std::string env_or(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

fs::path autostart_file() {
  return fs::path(env_or("XDG_CONFIG_HOME", env_or("HOME", "/") + "/.config")) / "autostart" /
         (std::string(BUNDLE_ID) + ".desktop");
}

// Desktop entries in precedence order (user first), identifier = StartupWMClass, else file id.
std::vector<InstalledApp> desktop_entries() {
  std::vector<std::string> dirs{env_or("XDG_DATA_HOME", env_or("HOME", "/") + "/.local/share")};
  std::stringstream sys(env_or("XDG_DATA_DIRS", "/usr/local/share:/usr/share"));
  for (std::string d; std::getline(sys, d, ':');)
    if (!d.empty()) dirs.push_back(d);
  std::vector<InstalledApp> out;
  for (const std::string& d : dirs) {
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(d) / "applications", ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().extension() != ".desktop") continue;
      std::ifstream in(it->path());
      InstalledApp app{it->path().stem().string(), {}, it->path().string()};
      bool in_entry = false, hidden = false;
      for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == '[') in_entry = line == "[Desktop Entry]";
        else if (!in_entry) continue;
        else if (line.rfind("Name=", 0) == 0) app.name = line.substr(5);
        else if (line.rfind("StartupWMClass=", 0) == 0) app.bundle_id = line.substr(15);
        else if (line == "NoDisplay=true" || line == "Hidden=true") hidden = true;
      }
      if (hidden || app.name.empty()) continue;
      bool dup = false;
      for (const InstalledApp& a : out) dup = dup || a.bundle_id == app.bundle_id;
      if (!dup) out.push_back(std::move(app));
    }
  }
  return out;
}

}  // namespace

Pid X11::self_pid() { return ::getpid(); }

bool X11::process_exists(Pid pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

bool X11::spawn(const std::string& program, const std::vector<std::string>& args, std::function<void(int)> exited) {
  auto argv = argv_of(program, args);
  pid_t pid = 0;
  if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
  // The waiter reaps the child whether or not anyone wants its status.
  std::thread([pid, exited = std::move(exited)] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (exited) exited(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }).detach();
  return true;
}

std::optional<std::string> X11::run_output(const std::string& program, const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  auto argv = argv_of(program, args);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return std::nullopt;
  }
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    out.append(buf, size_t(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return std::nullopt;  // could not run
  return out;
}

bool X11::open_url(std::string_view url) {
  const std::string u(url);
  if (u.rfind("x-apple.systempreferences:", 0) == 0) return false;  // no System Settings here
  for (const InstalledApp& a : desktop_entries())
    if (a.path == u) return spawn("gtk-launch", {fs::path(u).stem().string()}, nullptr);
  return spawn("xdg-open", {u}, nullptr);
}

std::optional<std::string> X11::app_path_for_bundle_id(std::string_view bundle_id) {
  for (InstalledApp& a : desktop_entries())
    if (a.bundle_id == bundle_id) return std::move(a.path);
  return std::nullopt;
}

std::optional<std::string> X11::bundle_id_for_path(std::string_view path) {
  for (InstalledApp& a : desktop_entries())
    if (a.path == path) return std::move(a.bundle_id);
  return std::nullopt;
}

std::vector<InstalledApp> X11::installed_apps() { return desktop_entries(); }

LoginStatus X11::login_item_status() {
  std::error_code ec;
  return fs::exists(autostart_file(), ec) ? LoginStatus::Enabled : LoginStatus::NotRegistered;
}

std::optional<std::string> X11::login_item_set(bool on) {
  const fs::path f = autostart_file();
  std::error_code ec;
  if (!on) {
    fs::remove(f, ec);
    return ec ? std::optional(ec.message()) : std::nullopt;
  }
  fs::create_directories(f.parent_path(), ec);
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return std::string("cannot find the running program");
  std::ofstream out(f);
  out << "[Desktop Entry]\nType=Application\nName=mirvex\nExec=" << std::string(exe, size_t(n)) << "\n";
  if (!out) return "cannot write " + f.string();
  return std::nullopt;
}

void X11::own_window_level(Wid own, int32_t level) {
  set_state(own, level > 0, NET_WM_STATE_ABOVE);
  set_state(own, level < 0, NET_WM_STATE_BELOW);
}

void X11::own_window_below(Wid own, Wid target) {
  const uint32_t values[] = {target, XCB_STACK_MODE_BELOW};
  // Managed windows are restacked by the window manager: ask it; it ignores a target it lacks.
  conn_.root_message(own, NET_RESTACK_WINDOW, {2, target, XCB_STACK_MODE_BELOW, 0, 0});
  xcb_configure_window(conn_.c(), own, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values);
  xcb_flush(conn_.c());
}

}  // namespace mirvex::sys::x11
