// Importing app hotkeys from a Raycast settings export (".rayconfig").
//
// The export is "RAYCFG3\n", a 32-bit little-endian header length H, a gzip-compressed JSON
// header of H bytes, then the gzip-compressed JSON body, which is encrypted with AES-256-GCM
// under an scrypt key from the user's password when the header carries "encryption". The
// decoder picks out the hotkeys that open applications; `plan` and `apply` turn them into the
// new `appHotkeys` list by the import rules (enabled first; ⌘ and ⌘⇧ chords skipped, and
// chords without ⌃, ⌥ or ⌘ other than function keys, which the application never registers;
// first hotkey per app and per chord wins) and write it in one write.
//
// Decoding costs a 16 MiB scrypt and runs off the caller's thread (`read_async`); it shares
// no mutable state, so several decodes may run at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/defaults.h"
#include "core/key_names.h"
#include "core/settings.h"

namespace mirvex::raycast {

// One hotkey of the export that opens an application.
struct Hotkey {
  std::string bundleID;
  uint32_t code = 0;  // virtual key code, 0..127
  uint32_t mods = 0;  // modifier mask (keys::CMD, SHIFT, OPT, CTRL)
  bool enabled = true;
  bool operator==(const Hotkey&) const = default;
};

// Why an export could not be read, in this order. A file that cannot be read at all counts
// as `damaged`: the user sees the same "Couldn't read the export".
enum class Failure { notRaycast, password, damaged };

using ReadResult = std::variant<std::vector<Hotkey>, Failure>;

// Application file path (from the export, e.g. "/Applications/Safari.app") → the app's
// bundle identifier, or none when no such app is installed. It is called on the decoding
// thread. The X11 backend's application registry answers it from the installed .desktop
// files: the path's application name matched to a desktop file, giving its StartupWMClass
// (else its desktop-file id), which is what window classes report as the bundle identifier.
using BundleResolver = std::function<std::optional<std::string>(std::string_view path)>;

// "RAYCFG3\n". An array, not a view of a literal: each translation unit may hold its own copy
// of a literal, and iterators taken from two copies never meet.
inline constexpr std::array<uint8_t, 8> MAGIC{0x52, 0x41, 0x59, 0x43, 0x46, 0x47, 0x33, 0x0A};
inline constexpr std::string_view APP_COMMAND_PREFIX = "c:r:applications::*::application::=::";
// Inflated header or body larger than this is refused as damaged (a decompression bomb
// would otherwise exhaust memory); real exports are far below it.
inline constexpr size_t MAX_INFLATED = size_t{64} << 20;
inline constexpr uint64_t SCRYPT_N = 16384;
inline constexpr uint32_t SCRYPT_R = 8;
inline constexpr uint32_t SCRYPT_P = 1;

struct DecodeOptions {
  size_t max_inflated = MAX_INFLATED;
  // The scrypt cost of the export format; only the fuzzer lowers it, so that encrypted
  // inputs stay cheap while still reaching the decryption and the body.
  uint64_t scrypt_n = SCRYPT_N;
};

// Decodes the bytes of an export. Never throws; every fault of the input is a Failure.
ReadResult decode(std::span<const uint8_t> file, std::string_view password,
                  const BundleResolver& resolve, const DecodeOptions& options = {});

// Reads and decodes a file (an unreadable file is `damaged`).
ReadResult read(const std::filesystem::path& file, std::string_view password,
                const BundleResolver& resolve);

// `read` on a worker thread; the future holds the result (keep it: its destructor waits for
// the decode). The caller hands the result to its main thread before showing or writing
// anything.
std::future<ReadResult> read_async(std::filesystem::path file, std::string password,
                                   BundleResolver resolve);

// scrypt (RFC 7914) with OpenSSL, or none when the parameters are refused.
std::optional<std::vector<uint8_t>> scrypt(std::string_view password,
                                           std::span<const uint8_t> salt, uint64_t n,
                                           uint32_t r, uint32_t p, size_t length);

// What an import would do to the current `appHotkeys`.
struct ImportPlan {
  std::vector<Hotkey> kept;  // in the order they are applied
  size_t skipped = 0;        // chords apps use for themselves, or taken earlier in the export
  size_t replaced = 0;       // kept hotkeys whose app already has an entry
};

// Orders the decoded hotkeys (enabled first, stable) and decides which are kept.
ImportPlan plan(std::vector<Hotkey> hotkeys, const std::vector<AppHotkey>& current);

// The confirmation texts: "Import 2 app hotkeys from Raycast?" and its informative text.
std::string question(const ImportPlan& p);
std::string details(const ImportPlan& p);

// Texts of the alerts that end an import without writing.
struct AlertText {
  std::string_view message;
  std::string_view informative;
};
AlertText failure_text(Failure f);
inline constexpr AlertText NOTHING_TO_IMPORT{
    "No app hotkeys in this export",
    "Raycast’s hotkeys for its own commands and extensions have no match here."};

// The new `appHotkeys`: for each kept hotkey in order, every entry of its app and every entry
// on its chord is removed, then the hotkey is appended with its label.
std::vector<AppHotkey> updated_hotkeys(const ImportPlan& p, std::vector<AppHotkey> current,
                                       const keys::KeyboardLayout& layout = keys::us_layout);

// The alerts an import shows; the settings library supplies them.
struct ImportPrompts {
  std::function<void(Failure)> failed;
  std::function<void()> nothing;                   // NOTHING_TO_IMPORT
  std::function<bool(const ImportPlan&)> confirm;  // question/details; true on "Import"
};
// Stores the whole new `appHotkeys` list in one write; false when it could not be stored.
using WriteAppHotkeys = std::function<bool(const std::vector<AppHotkey>&)>;

// Shows the outcome of a decode, asks for confirmation and writes the new list once. Returns
// the number of hotkeys written, or none when it failed, found nothing or was cancelled (and
// then nothing is written), or when the write itself failed.
std::optional<size_t> apply(const ReadResult& result, const std::vector<AppHotkey>& current,
                            const ImportPrompts& prompts, const WriteAppHotkeys& write,
                            const keys::KeyboardLayout& layout = keys::us_layout);

// The same over the preferences store: reads `appHotkeys` from it and stores the new list
// under that key alone, in the stored form of `prefs`, in one write (one change notice).
std::optional<size_t> apply(const ReadResult& result, Defaults& store,
                            const ImportPrompts& prompts,
                            const keys::KeyboardLayout& layout = keys::us_layout);


}  // namespace mirvex::raycast
