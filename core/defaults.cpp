#include "core/defaults.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fmt/format.h>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace mirvex {

void (*DEFAULTS_BEFORE_RENAME)(const std::filesystem::path& temporary) = nullptr;

namespace fs = std::filesystem;

namespace {

// A preferences file is a few kilobytes; anything this large is not one of ours.
constexpr off_t MAX_FILE_BYTES = 64 << 20;

std::string_view skip_space(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  return s;
}

bool equals_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Leading integer of a text: white space, an optional sign, digits; saturated at the int64 ends.
int64_t leading_integer(std::string_view s) {
  s = skip_space(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? uint64_t(1) << 63 : uint64_t(std::numeric_limits<int64_t>::max());
  for (char c : s) {
    if (c < '0' || c > '9') break;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) {
      magnitude = limit;
      break;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (negative) return magnitude == (uint64_t(1) << 63) ? std::numeric_limits<int64_t>::min()
                                                        : -static_cast<int64_t>(magnitude);
  return static_cast<int64_t>(magnitude);
}

int64_t truncate_real(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

// --- Old-style (OpenStep) property-list text, the platform's command-line syntax. ---------

bool bare_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_$+/:.-", c) != nullptr;
}

class OldStyle {
 public:
  explicit OldStyle(std::string_view text) : s_(text) {}

  std::optional<plist::Value> document() {
    auto v = value(0);
    if (!v) return std::nullopt;
    space();
    return i_ == s_.size() ? v : std::nullopt;
  }

 private:
  void space() {
    while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
  }
  bool eat(char c) {
    space();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  std::optional<std::string> text() {
    space();
    if (i_ >= s_.size()) return std::nullopt;
    std::string out;
    if (s_[i_] != '"') {
      while (i_ < s_.size() && bare_char(s_[i_])) out += s_[i_++];
      if (out.empty()) return std::nullopt;
      return out;
    }
    ++i_;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c == '\\' && i_ < s_.size()) {
        c = s_[i_++];
        c = c == 'n' ? '\n' : c == 't' ? '\t' : c;
      }
      out += c;
    }
    if (i_ >= s_.size()) return std::nullopt;
    ++i_;
    return out;
  }
  std::optional<plist::Value> value(int depth) {
    if (depth > plist::MAX_DEPTH) return std::nullopt;
    space();
    if (i_ >= s_.size()) return std::nullopt;
    if (eat('(')) {
      plist::Array array;
      if (eat(')')) return plist::Value(std::move(array));
      do {
        auto item = value(depth + 1);
        if (!item) return std::nullopt;
        array.push_back(std::move(*item));
      } while (eat(','));
      if (!eat(')')) return std::nullopt;
      return plist::Value(std::move(array));
    }
    if (eat('{')) {
      plist::Dict dict;
      while (!eat('}')) {
        auto key = text();
        if (!key || !eat('=')) return std::nullopt;
        auto item = value(depth + 1);
        if (!item || !eat(';')) return std::nullopt;
        dict.insert_or_assign(std::move(*key), std::move(*item));
      }
      return plist::Value(std::move(dict));
    }
    if (eat('<')) {
      plist::Data data;
      std::string hex;
      while (i_ < s_.size() && s_[i_] != '>') {
        const char c = s_[i_++];
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        hex += c;
        if (hex.size() == 2) {
          data.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
          hex.clear();
        }
      }
      if (i_ >= s_.size() || !hex.empty()) return std::nullopt;
      ++i_;
      return plist::Value(std::move(data));
    }
    auto t = text();
    if (!t) return std::nullopt;
    return plist::Value(std::move(*t));
  }

  std::string_view s_;
  size_t i_ = 0;
};

std::string timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

// Holds a descriptor and an exclusive advisory lock on a folder for the length of a write.
class FolderLock {
 public:
  explicit FolderLock(const fs::path& dir)
      : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string errno_text(int e) { return std::error_code(e, std::generic_category()).message(); }

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Keeps an unreadable file's bytes under a new, unused name next to it. The original name is
// replaced afterwards by the write that follows, so a hard link suffices; where links are not
// supported the file is renamed (never over an existing backup).
std::optional<fs::path> keep_backup(const fs::path& file, int dir_fd) {
  const std::string base = file.filename().string() + ".unreadable-" + timestamp();
  for (int n = 1; n < 1000; ++n) {
    const fs::path backup = file.parent_path() / (n == 1 ? base : fmt::format("{}-{}", base, n));
    if (::link(file.c_str(), backup.c_str()) == 0 ||
        (errno != EEXIST && ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, backup.c_str(), RENAME_NOREPLACE) == 0)) {
      if (dir_fd >= 0) ::fsync(dir_fd);
      return backup;
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

// --- Coercions ------------------------------------------------------------------------------

bool coerce_bool(const plist::Value* v) {
  if (!v) return false;
  if (const bool* b = v->get<bool>()) return *b;
  if (const int64_t* i = v->get<int64_t>()) return *i != 0;
  if (const double* d = v->get<double>()) return !std::isnan(*d) && *d != 0;
  if (const std::string* s = v->get<std::string>()) {
    const std::string_view t = skip_space(*s);
    return equals_nocase(t, "yes") || equals_nocase(t, "true") || leading_integer(t) != 0;
  }
  return false;
}

int64_t coerce_integer(const plist::Value* v) {
  if (!v) return 0;
  if (const bool* b = v->get<bool>()) return *b ? 1 : 0;
  if (const int64_t* i = v->get<int64_t>()) return *i;
  if (const double* d = v->get<double>()) return truncate_real(*d);
  if (const std::string* s = v->get<std::string>()) return leading_integer(*s);
  return 0;
}

double coerce_real(const plist::Value* v) {
  if (!v) return 0;
  if (const bool* b = v->get<bool>()) return *b ? 1 : 0;
  if (const int64_t* i = v->get<int64_t>()) return static_cast<double>(*i);
  if (const double* d = v->get<double>()) return *d;
  if (const std::string* s = v->get<std::string>()) return std::strtod(s->c_str(), nullptr);
  return 0;
}

std::optional<std::string> coerce_string(const plist::Value* v) {
  if (!v) return std::nullopt;
  if (const std::string* s = v->get<std::string>()) return *s;
  if (const int64_t* i = v->get<int64_t>()) return fmt::format("{}", *i);
  if (const double* d = v->get<double>()) return fmt::format("{}", *d);
  return std::nullopt;
}

plist::Value parse_argument(std::string_view text) {
  if (auto v = plist::parse_xml_fragment(text)) return std::move(*v);
  if (auto v = OldStyle(text).document()) return std::move(*v);
  return plist::Value(text);
}

// --- Store ----------------------------------------------------------------------------------

fs::path Defaults::folder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return fs::path(xdg) / "mirvex";
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* pw = ::getpwuid(::getuid());
    home = pw && pw->pw_dir ? pw->pw_dir : ".";
  }
  return fs::path(home) / ".config" / "mirvex";
}

Defaults::Defaults(std::string_view domain) {
  if (domain.empty() || domain == "." || domain == ".." || domain.find('/') != std::string_view::npos)
    throw std::invalid_argument(fmt::format("invalid preferences domain name '{}'", domain));
  path_ = folder() / (std::string(domain) + ".plist");
}

Defaults::Defaults(fs::path file, int) : path_(std::move(file)) {}

Defaults Defaults::at_path(fs::path file) { return Defaults(std::move(file), 0); }

Defaults::Defaults(Defaults&& other) noexcept { *this = std::move(other); }

Defaults& Defaults::operator=(Defaults&& other) noexcept {
  if (this != &other) {
    close_watch();
    path_ = std::move(other.path_);
    arguments_ = std::move(other.arguments_);
    registered_ = std::move(other.registered_);
    cache_ = std::move(other.cache_);
    cached_ = other.cached_;
    announced_ = other.announced_;
    listeners_ = std::move(other.listeners_);
    next_listener_ = other.next_listener_;
    watch_fd_ = std::exchange(other.watch_fd_, -1);
  }
  return *this;
}

Defaults::~Defaults() { close_watch(); }

void Defaults::close_watch() {
  if (watch_fd_ >= 0) ::close(watch_fd_);
  watch_fd_ = -1;
}

void Defaults::set_arguments(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  set_arguments(args);
}

void Defaults::set_arguments(const std::vector<std::string>& args) {
  arguments_.clear();
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-' || a[1] == '-') continue;
    arguments_.insert_or_assign(a.substr(1), parse_argument(args[i + 1]));
    ++i;
  }
}

void Defaults::register_defaults(const plist::Dict& values) {
  for (const auto& [key, value] : values) registered_.insert_or_assign(key, value);
}

Defaults::Identity Defaults::identify(const struct stat& st) {
  const auto ns = [](const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
  return {true, st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

Defaults::Identity Defaults::identify(const fs::path& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? identify(st) : Identity{};
}

Defaults::Snapshot Defaults::read_file() const {
  Snapshot snap;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    struct stat st {};
    if (e == ENOENT || ::stat(path_.c_str(), &st) != 0) return snap;  // no domain
    snap.id = identify(st);
    snap.state = State::Unreadable;
    snap.why = errno_text(e);
    return snap;
  }
  struct stat st {};
  ::fstat(fd, &st);
  snap.id = identify(st);
  snap.state = State::Unreadable;
  std::string bytes;
  if (!S_ISREG(st.st_mode)) {
    snap.why = "not a regular file";
  } else if (st.st_size > MAX_FILE_BYTES) {
    snap.why = "too large";
  } else {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) snap.why = errno_text(errno);
      if (n <= 0) break;
      bytes.append(buf, static_cast<size_t>(n));
      if (bytes.size() > size_t(MAX_FILE_BYTES)) {
        snap.why = "too large";
        break;
      }
    }
  }
  ::close(fd);
  if (!snap.why.empty()) return snap;
  auto value = plist::parse(bytes, &snap.why);
  if (!value) return snap;
  plist::Dict* dict = value->get<plist::Dict>();
  if (!dict) {
    snap.why = "not a dictionary";
    return snap;
  }
  snap.state = State::Ok;
  snap.domain = std::move(*dict);
  return snap;
}

const Defaults::Snapshot& Defaults::current() const {
  if (cached_ && identify(path_) == cache_.id) return cache_;
  cache_ = read_file();
  cached_ = true;
  if (cache_.state == State::Unreadable)
    log::log(fmt::format("prefs: cannot read {}: {}; using no stored values", path_.string(), cache_.why));
  return cache_;
}

std::optional<plist::Value> Defaults::object(std::string_view key) const {
  for (const plist::Dict* layer : {&arguments_, &current().domain, &registered_}) {
    if (auto it = layer->find(key); it != layer->end()) return it->second;
  }
  return std::nullopt;
}

bool Defaults::boolean(std::string_view key) const {
  const auto v = object(key);
  return coerce_bool(v ? &*v : nullptr);
}

int64_t Defaults::integer(std::string_view key) const {
  const auto v = object(key);
  return coerce_integer(v ? &*v : nullptr);
}

double Defaults::real(std::string_view key) const {
  const auto v = object(key);
  return coerce_real(v ? &*v : nullptr);
}

std::optional<std::string> Defaults::string(std::string_view key) const {
  const auto v = object(key);
  return coerce_string(v ? &*v : nullptr);
}

std::vector<plist::Dict> Defaults::list(std::string_view key) const {
  std::vector<plist::Dict> out;
  const auto v = object(key);
  const plist::Array* array = v ? v->get<plist::Array>() : nullptr;
  if (!array) return out;
  for (const plist::Value& item : *array) {
    const plist::Dict* dict = item.get<plist::Dict>();
    if (!dict) return {};
    out.push_back(*dict);
  }
  return out;
}

std::optional<plist::Dict> Defaults::persistent_domain() const {
  const Snapshot& snap = current();
  if (snap.state != State::Ok) return std::nullopt;
  return snap.domain;
}

bool Defaults::unreadable() const { return current().state == State::Unreadable; }

bool Defaults::commit(const std::function<Outcome(const Snapshot& found)>& edit) {
  // Replacing a symbolic link would break a link kept elsewhere (dotfiles): write its target.
  std::error_code ec;
  const fs::path target = fs::is_symlink(path_, ec) ? fs::weakly_canonical(path_, ec) : path_;
  const fs::path dir = target.parent_path();
  const auto fail = [&](std::string_view what, int e) {
    log::log(fmt::format("prefs: cannot write {}: {}: {}", target.string(), what, errno_text(e)));
    return false;
  };
  fs::create_directories(dir, ec);
  if (ec) return fail("cannot create the folder", ec.value());
  FolderLock lock(dir);
  if (lock.fd() < 0) return fail("cannot open the folder", errno);

  // Temporaries left by a writer that died: every writer holds the lock, so none is live.
  const std::string temp_prefix = "." + target.filename().string() + ".tmp-";
  for (const auto& entry : fs::directory_iterator(dir, ec))
    if (entry.path().filename().string().starts_with(temp_prefix)) fs::remove(entry.path(), ec);

  cached_ = false;
  const Snapshot& found = current();
  const Outcome out = edit(found);
  if (out.what == Outcome::Nothing) return true;

  if (found.state == State::Unreadable) {
    const auto backup = keep_backup(target, lock.fd());
    if (!backup) return fail("cannot keep the unreadable file as a backup; not replacing it", errno);
    log::log(fmt::format("prefs: kept the unreadable {} as {}", target.string(), backup->string()));
  }

  if (out.what == Outcome::Delete) {
    if (::unlink(target.c_str()) != 0 && errno != ENOENT) return fail("cannot remove it", errno);
    ::fsync(lock.fd());
  } else {
    const std::string xml = plist::to_xml(plist::Value(out.domain));
    std::string why;
    if (!plist::parse(xml, &why)) {
      log::log(fmt::format("prefs: not writing {}: its values do not form a readable property list ({})",
                           target.string(), why));
      return false;
    }
    std::string temp = (dir / (temp_prefix + "XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return fail("cannot create a temporary file", errno);
    if (!write_all(fd, xml) || ::fsync(fd) != 0) {
      const int e = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      return fail("cannot write the temporary file", e);
    }
    ::close(fd);
    if (DEFAULTS_BEFORE_RENAME) DEFAULTS_BEFORE_RENAME(temp);
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      const int e = errno;
      ::unlink(temp.c_str());
      return fail("cannot replace it", e);
    }
    ::fsync(lock.fd());
  }
  cache_ = Snapshot{};
  if (out.what == Outcome::Write) {
    cache_.id = identify(path_);
    cache_.state = State::Ok;
    cache_.domain = out.domain;
  }
  announced_ = cache_.id;
  notify(Change::Local);
  return true;
}

Defaults::Outcome Defaults::write_unless_same(const Snapshot& found, plist::Dict domain) {
  const bool same = found.state != State::Unreadable && domain == found.domain;
  return Outcome{same ? Outcome::Nothing : Outcome::Write, std::move(domain)};
}

bool Defaults::write(const plist::Dict& set, const std::vector<std::string>& remove) {
  return commit([&](const Snapshot& found) {
    plist::Dict domain = found.domain;
    for (const auto& [key, value] : set) domain.insert_or_assign(key, value);
    for (const auto& key : remove) domain.erase(key);
    return write_unless_same(found, std::move(domain));
  });
}

bool Defaults::set(std::string_view key, plist::Value value) {
  return write(plist::Dict{{std::string(key), std::move(value)}});
}

bool Defaults::remove(std::string_view key) { return write({}, {std::string(key)}); }

bool Defaults::set_persistent_domain(plist::Dict domain) {
  return commit([&](const Snapshot& found) { return write_unless_same(found, std::move(domain)); });
}

bool Defaults::remove_persistent_domain() {
  return commit([](const Snapshot& found) {
    return Outcome{found.id.exists ? Outcome::Delete : Outcome::Nothing, {}};
  });
}

size_t Defaults::subscribe(Listener listener) {
  listeners_.emplace_back(next_listener_, std::move(listener));
  return next_listener_++;
}

void Defaults::unsubscribe(size_t id) {
  std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
}

void Defaults::notify(Change change) {
  // A listener may subscribe or unsubscribe while it runs.
  const auto listeners = listeners_;
  for (const auto& [id, listener] : listeners) listener(change);
}

int Defaults::watch() {
  if (watch_fd_ >= 0) return watch_fd_;
  const fs::path dir = path_.parent_path();
  std::error_code ec;
  fs::create_directories(dir, ec);
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0 || ::inotify_add_watch(fd, dir.c_str(),
                                    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                        IN_DELETE | IN_ATTRIB) < 0) {
    log::log(fmt::format("prefs: cannot watch {}: {}", dir.string(), errno_text(errno)));
    if (fd >= 0) ::close(fd);
    return -1;
  }
  watch_fd_ = fd;
  announced_ = identify(path_);
  return watch_fd_;
}

bool Defaults::poll_external() {
  if (watch_fd_ >= 0) {
    alignas(inotify_event) char buf[4096];
    while (::read(watch_fd_, buf, sizeof buf) > 0) {
    }
  }
  const Identity now = identify(path_);
  if (now == announced_) return false;
  announced_ = now;
  notify(Change::External);
  return true;
}

}  // namespace mirvex
