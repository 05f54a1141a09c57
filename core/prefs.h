// The stored form of the settings: every preference key, its stored type and default, the range
// a read value is clamped to, the keys read outside the record, and the two migrations of older
// stored forms. The application loads and saves through it; the settings library writes the same
// keys with the same stored types through the same Defaults store.
//
//   Defaults d;  d.set_arguments(argc, argv);
//   Settings s = prefs::load(d);      // never fails; unreadable values fall back to defaults
//   prefs::save(d, s);                // every key in one write
//
// Stored types: an integer is a 64-bit integer number, a flag a boolean, text a string, a list an
// array of dictionaries. Reading is forgiving: a missing key or a value of another kind leaves the
// field as it was; integers are clamped to their ranges; codes take only in-range values and
// otherwise leave the field unchanged; optional codes are absent for any other value (-1 stored).
// Numbers are one class, as on the platform: an integer key accepts a boolean (0/1) or a real
// (truncated), and a flag key any number (non-zero is true).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/defaults.h"
#include "core/plist.h"
#include "core/settings.h"

namespace mirvex::prefs {

// Maps fields to keys in one direction: reading a dictionary into fields, or writing fields as
// ordered (key, value) pairs. One function (fields) describes the format for both.
class Io {
 public:
  static Io reader(const plist::Dict& dict) { return Io(&dict); }
  static Io writer() { return Io(nullptr); }
  bool reading() const { return dict_ != nullptr; }

  // Read: the number under `key` as an integer, for the caller to range-check and store; nullopt
  // when absent or not a number. Write: appends `current` and returns nullopt.
  std::optional<int64_t> integer(std::string_view key, int64_t current);
  // Read: stores the number under `key` as a boolean. Write: appends the field as a boolean.
  void flag(std::string_view key, bool& field);
  // Read: stores the string under `key`. Write: appends the field as a string.
  void text(std::string_view key, std::string& field);
  // Read: the value under `key` of any kind, or nullptr. Programming error in write mode.
  const plist::Value* find(std::string_view key) const;
  // Write: appends a value. Programming error in read mode.
  void put(std::string_view key, plist::Value value);

  // The written pairs, in order.
  const std::vector<std::pair<std::string, plist::Value>>& pairs() const { return pairs_; }
  // The written pairs as a dictionary. Programming error in read mode.
  plist::Dict into_dict() &&;

 private:
  explicit Io(const plist::Dict* dict) : dict_(dict) {}
  const plist::Dict* dict_;
  std::vector<std::pair<std::string, plist::Value>> pairs_;
};

// Applies the whole key table, in order, in the Io's direction.
void fields(Io& io, Settings& settings);

// The settings a domain's dictionary holds: the defaults overwritten by `fields`, with the five
// default shortcuts put back when the stored list yields none.
Settings from_domain(const plist::Dict& domain);

// The settings read from the domain: defaults, then the stored keys (a value given on the command
// line overriding the stored one), then the migrations of older stored forms, which save at once.
Settings load(Defaults& defaults);
// Writes every key of the table in one write. No key is removed.
bool save(Defaults& defaults, const Settings& settings);

// Keys read outside the record.
bool needs_onboarding(const Defaults& defaults);
// The first-run flow is under way and has not reached `step` yet.
bool guide_before(const Defaults& defaults, int64_t step);
bool recording_hotkey(const Defaults& defaults);
bool debug(const Defaults& defaults);
// The application clears the recorder flag at launch: a library that died while recording must
// not leave the shortcuts passing through.
bool clear_recording_hotkey(Defaults& defaults);

}  // namespace mirvex::prefs
