// The user-defaults store: one preferences domain, layered as the platform layers it.
//
//   argument domain    "-key value" pairs of the command line, for this run only
//   persistent domain  <folder>/<domain>.plist, shared by every process that opens the domain
//   registered         defaults given by the program, used while a key is absent above
//
// <folder> is $XDG_CONFIG_HOME/mirvex (an absolute XDG_CONFIG_HOME), else ~/.config/mirvex.
// The application and the settings library open the default domain, BUNDLE_ID; the importers
// open another application's domain by name or by file path, read only.
//
//   Defaults d;                               // org.mirvex.mirvex.plist
//   d.set_arguments(argc, argv);
//   d.register_defaults({{"delayMs", 150}});
//   int64_t delay = d.integer("delayMs");
//   d.write({{"delayMs", 200}, {"glide", false}}, {"allSpaces"});   // one write, one notice
//   d.subscribe([](Defaults::Change c) { ... });
//   int fd = d.watch();  // poll fd for readability, then call d.poll_external()
//
// Reads always reflect the file: the store re-reads it when its identity (inode, size, times)
// has changed. Writes are read-modify-write under an advisory lock on the folder, so two
// processes never lose each other's keys, and atomic: a temporary file in the same folder is
// written and synced, renamed over the file, and the folder synced. A file that exists but
// cannot be parsed reads as no domain and is kept, under a timestamped backup name
// ("<file>.unreadable-YYYYMMDD-HHMMSS"), before anything new is written; both are logged as
// "prefs: ..." lines. A store is used from one thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/plist.h"

namespace mirvex {

// Single-value coercions of the platform's user-defaults readers, for values read from any
// source (a key of the store, a field of a stored dictionary). A missing value is nullptr.
//   boolean: a boolean; a number that is not zero; a string "YES" or "true" in any case, or one
//            whose leading integer is not zero. Anything else is false.
//   integer: a boolean as 0/1; a real truncated (saturated, NaN 0); a string by its leading
//            integer (after white space, an optional sign and digits; saturated). Else 0.
//   real:    a number or boolean as a double; a string by its leading number. Else 0.
//   string:  a string as is; a number as its decimal text. Else nullopt.
bool coerce_bool(const plist::Value* v);
int64_t coerce_integer(const plist::Value* v);
double coerce_real(const plist::Value* v);
std::optional<std::string> coerce_string(const plist::Value* v);

// A command-line value as the platform reads it: a property-list text value ("<true/>",
// "<integer>5</integer>", a quoted string, "( a, b )", "{ k = v; }") when it parses as one,
// else the plain text. "YES" and "5" are therefore strings.
plist::Value parse_argument(std::string_view text);

class Defaults {
 public:
  enum class Change : uint8_t {
    Local,     // a write through this store
    External,  // another process (or a hand edit) changed the file
  };
  using Listener = std::function<void(Change)>;

  // Where every domain's file lives; computed from the environment at each call.
  static std::filesystem::path folder();

  // Opens a domain by name: <folder>/<domain>.plist. Throws std::invalid_argument for a name
  // that is empty, ".", ".." or holds a '/'.
  explicit Defaults(std::string_view domain = BUNDLE_ID);
  // Opens the domain stored in one file, anywhere.
  static Defaults at_path(std::filesystem::path file);

  Defaults(Defaults&&) noexcept;
  Defaults& operator=(Defaults&&) noexcept;
  Defaults(const Defaults&) = delete;
  Defaults& operator=(const Defaults&) = delete;
  ~Defaults();

  const std::filesystem::path& path() const { return path_; }

  // --- Layers -------------------------------------------------------------------------------
  // Replaces the argument domain with the "-key value" pairs of argv[1..]: a "-key" followed by
  // another argument takes it as its value (parse_argument). Arguments starting with "--" are
  // the program's own flags and never keys.
  void set_arguments(int argc, const char* const* argv);
  void set_arguments(const std::vector<std::string>& args);  // args without the program name
  // Adds to the registered defaults (a key given again is replaced).
  void register_defaults(const plist::Dict& values);

  // --- Reads --------------------------------------------------------------------------------
  // The value of `key` from the first layer that has it.
  std::optional<plist::Value> object(std::string_view key) const;
  bool has(std::string_view key) const { return object(key).has_value(); }
  // Coerced single-key reads (see coerce_*); absent reads as false, 0, 0.0, nullopt.
  bool boolean(std::string_view key) const;
  int64_t integer(std::string_view key) const;
  double real(std::string_view key) const;
  std::optional<std::string> string(std::string_view key) const;

  // The list under `key` when it is an array of dictionaries; empty when absent, of another kind,
  // or holding anything but dictionaries.
  std::vector<plist::Dict> list(std::string_view key) const;
  // The argument domain alone.
  const plist::Dict& arguments() const { return arguments_; }

  // The persistent domain alone; nullopt when the file does not exist or cannot be parsed as a
  // dictionary (unreadable() tells which).
  std::optional<plist::Dict> persistent_domain() const;
  bool unreadable() const;

  // --- Writes -------------------------------------------------------------------------------
  // Stores every pair of `set` and removes every key of `remove` from the persistent domain in
  // one atomic write, then notifies listeners once (Change::Local). A write that would change
  // nothing writes nothing and notifies no one. Returns false when the file could not be
  // written (logged); the old file is then intact.
  bool write(const plist::Dict& set, const std::vector<std::string>& remove = {});
  bool set(std::string_view key, plist::Value value);
  bool remove(std::string_view key);
  // Replaces the whole persistent domain (import).
  bool set_persistent_domain(plist::Dict domain);
  // Deletes the persistent domain (reset). An unreadable file is kept as a backup instead.
  bool remove_persistent_domain();

  // --- Change feed --------------------------------------------------------------------------
  // Listeners run synchronously: after each write through this store, and from poll_external.
  size_t subscribe(Listener listener);
  void unsubscribe(size_t id);
  // Starts watching the folder (created if missing) for writes by other processes. Returns a
  // descriptor that becomes readable when something in the folder changed (hand it to the
  // event loop), or -1 when watching is impossible (logged). Idempotent.
  int watch();
  // Drains the watch descriptor without blocking. When the file is not what this store last
  // wrote or announced, notifies listeners with Change::External and returns true.
  bool poll_external();

 private:
  struct Identity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime_ns = 0, ctime_ns = 0;
    bool operator==(const Identity&) const = default;
  };
  enum class State : uint8_t { Missing, Ok, Unreadable };
  struct Snapshot {
    Identity id;
    State state = State::Missing;
    plist::Dict domain;
    std::string why;  // for Unreadable
  };

  explicit Defaults(std::filesystem::path file, int);
  static Identity identify(const struct stat& st);
  static Identity identify(const std::filesystem::path& file);
  const Snapshot& current() const;
  Snapshot read_file() const;
  // What a write does, given the file it found under the lock.
  struct Outcome {
    enum What : uint8_t { Nothing, Write, Delete } what = Nothing;
    plist::Dict domain;
  };
  bool commit(const std::function<Outcome(const Snapshot& found)>& edit);
  // Writes `domain` unless the file already holds exactly it.
  static Outcome write_unless_same(const Snapshot& found, plist::Dict domain);
  void notify(Change change);
  void close_watch();

  std::filesystem::path path_;
  plist::Dict arguments_;
  plist::Dict registered_;
  mutable Snapshot cache_;
  mutable bool cached_ = false;
  Identity announced_;  // the file as last written or announced by this store
  std::vector<std::pair<size_t, Listener>> listeners_;
  size_t next_listener_ = 1;
  int watch_fd_ = -1;
};

// For tests: runs in a write after the temporary file is complete and synced and before it
// replaces the file, with the temporary file's path. Null in production.
extern void (*DEFAULTS_BEFORE_RENAME)(const std::filesystem::path& temporary);

}  // namespace mirvex
