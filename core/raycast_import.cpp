#include "core/raycast_import.h"

#include "core/prefs.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include <fmt/format.h>

namespace mirvex::raycast {
namespace {

using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

constexpr size_t HEADER_AT = 12;  // magic and the 32-bit header length
constexpr size_t TAG_SIZE = 16;
constexpr std::string_view APP_HOTKEYS = "appHotkeys";
constexpr size_t MIN_NONCE = 12;
constexpr size_t KEY_SIZE = 32;
constexpr size_t MIN_INFLATE_CHUNK = size_t{16} << 10;
constexpr size_t MAX_INFLATE_CHUNK = size_t{1} << 20;
// OpenSSL refuses scrypt work above its limit (32 MiB by default); name ours so the export's
// 16 MiB array and the RFC test parameters always fit, and nothing much larger does.
constexpr uint64_t SCRYPT_MAXMEM = uint64_t{64} << 20;
// A body can grow only a little when compressed, so a file far above the inflate cap cannot
// hold a usable export; it is refused before being read into memory.
constexpr uint64_t MAX_FILE = 2 * uint64_t{MAX_INFLATED} + (uint64_t{1} << 20);

// gzip (window bits 31) inflate, in chunks of at most 1 MiB, until the end of the stream. Trailing
// bytes after the stream are ignored; output above `max` is refused.
std::optional<Bytes> gunzip(std::span<const uint8_t> in, size_t max) {
  z_stream zs{};
  if (inflateInit2(&zs, 31) != Z_OK) return std::nullopt;
  const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&zs, inflateEnd);
  Bytes out;
  size_t fed = 0;
  for (;;) {
    if (zs.avail_in == 0 && fed < in.size()) {
      const size_t n = std::min<size_t>(in.size() - fed, UINT_MAX);
      zs.next_in = const_cast<Bytef*>(in.data() + fed);
      zs.avail_in = static_cast<uInt>(n);
      fed += n;
    }
    // Chunks grow with the output up to 1 MiB, so small documents stay small allocations.
    const size_t have = out.size();
    const size_t chunk = std::clamp(have, MIN_INFLATE_CHUNK, MAX_INFLATE_CHUNK);
    out.resize(have + chunk);
    zs.next_out = out.data() + have;
    zs.avail_out = static_cast<uInt>(chunk);
    const int ret = inflate(&zs, Z_NO_FLUSH);
    out.resize(have + (chunk - std::min<size_t>(zs.avail_out, chunk)));
    // A truncated stream stops making progress: zlib then answers Z_BUF_ERROR.
    if (ret != Z_OK && ret != Z_STREAM_END) return std::nullopt;
    if (out.size() > max) return std::nullopt;
    if (ret == Z_STREAM_END) return out;
  }
}

std::optional<json> gunzip_json(std::span<const uint8_t> in, size_t max) {
  auto text = gunzip(in, max);
  if (!text) return std::nullopt;
  json j = json::parse(text->begin(), text->end(), nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return std::nullopt;
  return j;
}

// Two hexadecimal digits per byte, either case; nothing else (no signs, no odd digit).
std::optional<Bytes> from_hex(std::string_view s) {
  if (s.size() % 2) return std::nullopt;
  Bytes out(s.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    const char* pair = s.data() + 2 * i;
    const auto [end, ec] = std::from_chars(pair, pair + 2, out[i], 16);
    if (ec != std::errc() || end != pair + 2) return std::nullopt;
  }
  return out;
}

bool object_of_strings(const json& j) {
  return j.is_object() &&
         std::all_of(j.begin(), j.end(), [](const json& v) { return v.is_string(); });
}

const std::string* string_member(const json& j, const char* name) {
  const auto it = j.find(name);
  return it != j.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

const json* object_member(const json& j, const char* name) {
  const auto it = j.find(name);
  return it != j.end() && it->is_object() ? &*it : nullptr;
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// AES-256-GCM open with no additional data; none when the tag does not verify.
std::optional<Bytes> gcm_open(std::span<const uint8_t> key, std::span<const uint8_t> nonce,
                              std::span<const uint8_t> sealed) {
  if (key.size() != KEY_SIZE || nonce.size() < MIN_NONCE || sealed.size() < TAG_SIZE ||
      nonce.size() > INT_MAX)
    return std::nullopt;
  const auto cipher = sealed.first(sealed.size() - TAG_SIZE);
  std::array<uint8_t, TAG_SIZE> tag;
  std::memcpy(tag.data(), sealed.data() + cipher.size(), TAG_SIZE);
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()),
                          nullptr) != 1 ||
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) != 1)
    return std::nullopt;
  Bytes plain(cipher.size());
  size_t done = 0;
  while (done < cipher.size()) {
    const int n = static_cast<int>(std::min<size_t>(cipher.size() - done, INT_MAX / 2));
    int out = 0;
    if (EVP_DecryptUpdate(ctx.get(), plain.data() + done, &out, cipher.data() + done, n) != 1)
      return std::nullopt;
    done += static_cast<size_t>(n);
  }
  int tail = 0;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, TAG_SIZE, tag.data()) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), plain.data() + done, &tail) != 1) {
    OPENSSL_cleanse(plain.data(), plain.size());
    return std::nullopt;
  }
  return plain;
}

// The modifier bit a Raycast modifier name adds; unknown names add nothing.
uint32_t modifier_bit(std::string_view name) {
  if (name == "Meta") return keys::CMD;
  if (name == "Shift") return keys::SHIFT;
  if (name == "Alt") return keys::OPT;
  if (name == "Ctrl") return keys::CTRL;
  return 0;
}

// A command that opens an application with a single-step hotkey, or none.
std::optional<Hotkey> command_hotkey(const json& cmd, const BundleResolver& resolve) {
  const std::string* id = string_member(cmd, "id");
  if (!id || !id->starts_with(APP_COMMAND_PREFIX)) return std::nullopt;
  const json* hotkey = object_member(cmd, "macosHotkey");
  const json* kind = hotkey ? object_member(*hotkey, "kind") : nullptr;
  const std::string* type = kind ? string_member(*kind, "type") : nullptr;
  if (!type || *type != "SingleStep") return std::nullopt;
  const json* shortcut = object_member(*kind, "shortcut");
  const json* key = shortcut ? object_member(*shortcut, "key") : nullptr;
  if (!key) return std::nullopt;
  const auto code = key->find("code");
  // Stored codes are 0..127; anything else is no key this system can register.
  if (code == key->end() || !code->is_number_integer()) return std::nullopt;
  if (code->is_number_unsigned() ? code->get<uint64_t>() > 127
                                 : (code->get<int64_t>() < 0 || code->get<int64_t>() > 127))
    return std::nullopt;
  const auto modifiers = shortcut->find("modifiers");
  if (modifiers == shortcut->end() || !modifiers->is_array()) return std::nullopt;
  uint32_t mods = 0;
  for (const json& m : *modifiers) {
    if (!object_of_strings(m)) return std::nullopt;
    // A bit set, not a sum: a modifier named twice must not turn ⌘ into ⇧.
    if (const std::string* name = string_member(m, "modifier")) mods |= modifier_bit(*name);
  }
  const auto enabled = cmd.find("enabled");
  const bool on = enabled == cmd.end() || !enabled->is_boolean() || enabled->get<bool>();
  const std::string_view path = std::string_view(*id).substr(APP_COMMAND_PREFIX.size());
  auto bundle = resolve ? resolve(path) : std::nullopt;
  if (!bundle || bundle->empty()) return std::nullopt;
  return Hotkey{std::move(*bundle), static_cast<uint32_t>(code->get<int64_t>()), mods, on};
}

ReadResult decode_checked(std::span<const uint8_t> file, std::string_view password,
                          const BundleResolver& resolve, const DecodeOptions& options) {
  if (file.size() <= HEADER_AT || !std::equal(MAGIC.begin(), MAGIC.end(), file.begin()))
    return Failure::notRaycast;
  const uint64_t h = uint64_t{file[8]} | uint64_t{file[9]} << 8 | uint64_t{file[10]} << 16 |
                     uint64_t{file[11]} << 24;
  // The body needs at least an authentication tag's worth of bytes after the header.
  if (h + HEADER_AT + TAG_SIZE >= file.size()) return Failure::damaged;
  const auto header = gunzip_json(file.subspan(HEADER_AT, h), options.max_inflated);
  if (!header || !header->is_object()) return Failure::damaged;
  std::span<const uint8_t> body = file.subspan(HEADER_AT + h);

  Bytes plain;
  const auto encryption = header->find("encryption");
  if (encryption != header->end() && object_of_strings(*encryption)) {
    const std::string* iv_hex = string_member(*encryption, "iv");
    const std::string* salt_hex = string_member(*encryption, "salt");
    const auto iv = iv_hex ? from_hex(*iv_hex) : std::nullopt;
    const auto salt = salt_hex ? from_hex(*salt_hex) : std::nullopt;
    if (!iv || !salt) return Failure::damaged;
    // A nonce too short for GCM cannot have sealed this body; spare the key derivation.
    if (iv->size() < MIN_NONCE) return Failure::password;
    auto key = scrypt(password, *salt, options.scrypt_n, SCRYPT_R, SCRYPT_P, KEY_SIZE);
    if (!key) return Failure::password;
    auto opened = gcm_open(*key, *iv, body);
    OPENSSL_cleanse(key->data(), key->size());
    if (!opened) return Failure::password;
    plain = std::move(*opened);
    body = plain;
  }

  const auto doc = gunzip_json(body, options.max_inflated);
  if (!plain.empty()) OPENSSL_cleanse(plain.data(), plain.size());
  if (!doc || !doc->is_object()) return Failure::damaged;
  const json* settings = object_member(*doc, "settings");
  const auto commands = settings ? settings->find("commands") : doc->end();
  if (!settings || commands == settings->end() || !commands->is_array() ||
      !std::all_of(commands->begin(), commands->end(),
                   [](const json& c) { return c.is_object(); }))
    return Failure::damaged;
  std::vector<Hotkey> out;
  for (const json& cmd : *commands)
    if (auto hk = command_hotkey(cmd, resolve)) out.push_back(std::move(*hk));
  return out;
}

}  // namespace

std::optional<std::vector<uint8_t>> scrypt(std::string_view password,
                                           std::span<const uint8_t> salt, uint64_t n,
                                           uint32_t r, uint32_t p, size_t length) {
  std::vector<uint8_t> key(length);
  if (EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), n, r, p,
                     SCRYPT_MAXMEM, key.data(), key.size()) != 1)
    return std::nullopt;
  return key;
}

ReadResult decode(std::span<const uint8_t> file, std::string_view password,
                  const BundleResolver& resolve, const DecodeOptions& options) {
  try {
    return decode_checked(file, password, resolve, options);
  } catch (const std::exception&) {
    // Out of memory on a huge document, or a resolver that threw: the export is unusable.
    return Failure::damaged;
  }
}

ReadResult read(const std::filesystem::path& file, std::string_view password,
                const BundleResolver& resolve) {
  std::ifstream in(file, std::ios::binary);
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(file, ec);
  if (!in || ec) return Failure::damaged;
  // Of a file too large to be an export only the magic is read, to tell which failure it is.
  Bytes bytes(size > MAX_FILE ? MAGIC.size() : static_cast<size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  if (size > MAX_FILE)
    return std::equal(MAGIC.begin(), MAGIC.end(), bytes.begin(), bytes.end())
               ? Failure::damaged
               : Failure::notRaycast;
  return decode(bytes, password, resolve);
}

std::future<ReadResult> read_async(std::filesystem::path file, std::string password,
                                   BundleResolver resolve) {
  return std::async(std::launch::async,
                    [file = std::move(file), password = std::move(password),
                     resolve = std::move(resolve)] { return read(file, password, resolve); });
}

ImportPlan plan(std::vector<Hotkey> hotkeys, const std::vector<AppHotkey>& current) {
  std::stable_partition(hotkeys.begin(), hotkeys.end(), [](const Hotkey& h) { return h.enabled; });
  ImportPlan p;
  for (Hotkey& h : hotkeys) {
    const bool app_command = h.mods == keys::CMD || h.mods == (keys::CMD | keys::SHIFT);
    // Without ⌃, ⌥ or ⌘ a hotkey would take a plain key from every app (a Raycast modifier
    // this system does not know adds nothing); only function keys may go without one.
    const bool bare = !(h.mods & (keys::CTRL | keys::OPT | keys::CMD)) &&
                      !keys::is_function_key(h.code);
    const bool taken = std::any_of(p.kept.begin(), p.kept.end(), [&](const Hotkey& k) {
      return k.bundleID == h.bundleID || (k.code == h.code && k.mods == h.mods);
    });
    if (app_command || bare || taken) {
      ++p.skipped;
      continue;
    }
    if (std::any_of(current.begin(), current.end(),
                    [&](const AppHotkey& e) { return e.bundleId == h.bundleID; }))
      ++p.replaced;
    p.kept.push_back(std::move(h));
  }
  return p;
}

std::string question(const ImportPlan& p) {
  return fmt::format("Import {} app hotkey{} from Raycast?", p.kept.size(),
                     p.kept.size() == 1 ? "" : "s");
}

std::string details(const ImportPlan& p) {
  std::string out;
  if (p.replaced > 0)
    out += fmt::format("{} replace{} a hotkey set here. ", p.replaced, p.replaced == 1 ? "s" : "");
  if (p.skipped > 0)
    out += fmt::format(
        "{} skipped: already taken by another app in the export, or ⌘ shortcuts apps use for "
        "their own commands. ",
        p.skipped);
  return out + "Turn them off in Raycast afterwards, or both apps will answer the same keys.";
}

AlertText failure_text(Failure f) {
  switch (f) {
    case Failure::notRaycast:
      return {"Not a Raycast export",
              "Export from Raycast with Settings › Advanced › Export, then choose that file."};
    case Failure::password:
      return {"Wrong password", "Try again with the password you set when exporting."};
    case Failure::damaged:
      break;
  }
  return {"Couldn’t read the export", "The file may be damaged, or come from a newer Raycast."};
}

std::vector<AppHotkey> updated_hotkeys(const ImportPlan& p, std::vector<AppHotkey> current,
                                       const keys::KeyboardLayout& layout) {
  for (const Hotkey& h : p.kept) {
    std::erase_if(current, [&](const AppHotkey& e) {
      return e.bundleId == h.bundleID || (e.code == h.code && e.mods == h.mods);
    });
    current.push_back(
        AppHotkey{h.bundleID, keys::label(h.code, h.mods, layout), h.code, h.mods, h.enabled});
  }
  return current;
}

std::optional<size_t> apply(const ReadResult& result, const std::vector<AppHotkey>& current,
                            const ImportPrompts& prompts, const WriteAppHotkeys& write,
                            const keys::KeyboardLayout& layout) {
  if (const Failure* f = std::get_if<Failure>(&result)) {
    if (prompts.failed) prompts.failed(*f);
    return std::nullopt;
  }
  const ImportPlan p = plan(std::get<std::vector<Hotkey>>(result), current);
  if (p.kept.empty()) {
    if (prompts.nothing) prompts.nothing();
    return std::nullopt;
  }
  // Nothing is written without an explicit "Import".
  if (!prompts.confirm || !prompts.confirm(p) || !write) return std::nullopt;
  if (!write(updated_hotkeys(p, current, layout))) return std::nullopt;
  return p.kept.size();
}

std::optional<size_t> apply(const ReadResult& result, Defaults& store,
                            const ImportPrompts& prompts, const keys::KeyboardLayout& layout) {
  // The key table reads and writes the list, so its stored form has one definition; only the
  // `appHotkeys` pair of what it writes is stored.
  plist::Dict stored;
  if (auto v = store.object(APP_HOTKEYS)) stored.emplace(APP_HOTKEYS, std::move(*v));
  Settings settings = prefs::from_domain(stored);
  return apply(
      result, settings.appHotkeys, prompts,
      [&](const std::vector<AppHotkey>& list) {
        settings.appHotkeys = list;
        prefs::Io out = prefs::Io::writer();
        prefs::fields(out, settings);
        for (const auto& [key, value] : out.pairs())
          if (key == APP_HOTKEYS) return store.set(APP_HOTKEYS, value);
        return false;
      },
      layout);
}


}  // namespace mirvex::raycast
