// Raycast exports are files the user picks: any bytes must decode to hotkeys or fail cleanly,
// within the inflate cap, and what decodes must plan and apply to a consistent hotkey list.
//
// The first byte picks how the rest becomes an export, so most inputs get past the magic
// and the gzip layers instead of dying at the first check:
//   mode 0  the rest is the whole file;
//   mode 1  "RAYCFG3\n" followed by the rest (length field and everything after it raw);
//   mode 2  byte 1 = n, then n bytes of header JSON text and the body JSON text, each
//           gzip-compressed here, body not encrypted;
//   mode 3  bytes 1..2 give nonce and salt lengths, then nonce, salt and the body JSON text,
//           which is compressed and sealed here with AES-256-GCM, so that the decryption
//           succeeds (or, with the low bit of byte 1, fails on a wrong password).
// The export's scrypt costs 16 MiB and tens of milliseconds; the fuzzer uses N = 16 so that
// encrypted inputs stay as cheap as the rest, except for inputs whose first byte is 0xff
// (mode 3), which run the real cost to show it ends.
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/raycast_import.h"

namespace {

using namespace mirvex;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t CHEAP_N = 16;
constexpr char PASSWORD[] = "pw";

Bytes gzip(std::span<const uint8_t> in) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  Bytes out(deflateBound(&zs, in.size()) + 32);
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string hex(std::span<const uint8_t> b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) s += {digits[c >> 4], digits[c & 15]};
  return s;
}

Bytes seal(std::span<const uint8_t> key, std::span<const uint8_t> nonce, const Bytes& plain) {
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(),
                                                                  EVP_CIPHER_CTX_free);
  Bytes out(plain.size() + 16);
  int n = 0;
  if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()),
                          nullptr) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out.data(), &n, plain.data(), static_cast<int>(plain.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &n) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, out.data() + plain.size()) != 1)
    std::abort();
  return out;
}

Bytes export_file(std::string_view header_json, const Bytes& body) {
  const Bytes h = gzip({reinterpret_cast<const uint8_t*>(header_json.data()), header_json.size()});
  Bytes out(raycast::MAGIC.begin(), raycast::MAGIC.end());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(h.size() >> (8 * i)));
  out.insert(out.end(), h.begin(), h.end());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// Every path is an installed app except those naming "Gone".
std::optional<std::string> resolve(std::string_view path) {
  if (path.empty() || path.find("Gone") != std::string_view::npos) return std::nullopt;
  return std::string(path);
}

void check(const raycast::ReadResult& r) {
  const auto* hotkeys = std::get_if<std::vector<raycast::Hotkey>>(&r);
  if (!hotkeys) return;
  constexpr uint32_t known = keys::CMD | keys::SHIFT | keys::OPT | keys::CTRL;
  for (const auto& h : *hotkeys)
    if (h.code > 127 || (h.mods & ~known) || h.bundleID.empty()) std::abort();
  const std::vector<AppHotkey> current{{"a", "⌃A", 0, keys::CTRL, true}};
  const raycast::ImportPlan p = raycast::plan(*hotkeys, current);
  if (p.kept.size() + p.skipped != hotkeys->size() || p.replaced > p.kept.size()) std::abort();
  const auto list = raycast::updated_hotkeys(p, current);
  std::set<std::string> apps;
  std::set<std::pair<uint32_t, uint32_t>> chords;
  for (const auto& e : list)
    if (!apps.insert(e.bundleId).second || !chords.insert({e.code, e.mods}).second ||
        e.label.empty())
      std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> in(data + 1, size - 1);
  raycast::DecodeOptions options{size_t{1} << 20, CHEAP_N};
  std::string password = PASSWORD;
  Bytes file;
  switch (data[0] & 3) {
    case 0:
      file.assign(in.begin(), in.end());
      break;
    case 1:
      file.assign(raycast::MAGIC.begin(), raycast::MAGIC.end());
      file.insert(file.end(), in.begin(), in.end());
      break;
    case 2: {
      if (in.empty()) return 0;
      const size_t n = std::min<size_t>(in[0], in.size() - 1);
      const auto header = in.subspan(1, n);
      file = export_file({reinterpret_cast<const char*>(header.data()), header.size()},
                         gzip(in.subspan(1 + n)));
      break;
    }
    case 3: {
      if (in.size() < 2) return 0;
      const size_t nonce_len = std::min<size_t>(in[0] >> 1, in.size() - 2);
      const size_t salt_len = std::min<size_t>(in[1] & 31, in.size() - 2 - nonce_len);
      const auto nonce = in.subspan(2, nonce_len);
      const auto salt = in.subspan(2 + nonce_len, salt_len);
      const auto body = gzip(in.subspan(2 + nonce_len + salt_len));
      if (data[0] == 0xff) options.scrypt_n = raycast::SCRYPT_N;
      const std::string header = R"({"encryption":{"iv":")" + hex(nonce) + R"(","salt":")" +
                                  hex(salt) + R"("}})";
      // Seal only what the decoder can open; shorter nonces go in unsealed and must fail.
      if (nonce.size() >= 12 && nonce.size() <= 128) {
        const auto key = raycast::scrypt(PASSWORD, salt, options.scrypt_n, raycast::SCRYPT_R,
                                         raycast::SCRYPT_P, 32);
        if (!key) std::abort();
        file = export_file(header, seal(*key, nonce, body));
      } else {
        Bytes padded = body;
        padded.resize(body.size() + 16);
        file = export_file(header, padded);
      }
      if (in[0] & 1) password = "wrong";
      break;
    }
  }
  check(raycast::decode(file, password, resolve, options));
  return 0;
}
