#include "core/plist.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace mirvex::plist {

bool Value::operator==(const Value& other) const { return v_ == other.v_; }

namespace {

// Owns one libplist node tree (a root: children belong to their parent).
struct NodeFree {
  void operator()(void* node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeFree>;

// Buffers and iterators libplist hands out with malloc.
struct MallocFree {
  void operator()(void* p) const { std::free(p); }
};
template <class T> using Owned = std::unique_ptr<T, MallocFree>;
struct XmlFree {
  void operator()(char* p) const { plist_to_xml_free(p); }
};
struct BinFree {
  void operator()(char* p) const { plist_to_bin_free(p); }
};

// libplist takes 32-bit lengths.
constexpr size_t MAX_BYTES = std::numeric_limits<uint32_t>::max();

std::optional<Value> from_node(plist_t node, int depth, std::string* error) {
  const auto fail = [&](const char* why) -> std::optional<Value> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (depth > MAX_DEPTH) return fail("nested too deeply");
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      return Value(std::string(s ? s : "", s ? length : 0));
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* p = plist_get_data_ptr(node, &length);
      const auto* bytes = reinterpret_cast<const uint8_t*>(p);
      return Value(p ? Data(bytes, bytes + length) : Data{});
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value(Date{sec + usec / 1e6});
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return Value(Uid{u});
    }
    case PLIST_ARRAY: {
      Array array;
      plist_array_iter raw = nullptr;
      plist_array_new_iter(node, &raw);
      Owned<void> iter(raw);
      for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(node, raw, &item);
        if (!item) break;
        auto v = from_node(item, depth + 1, error);
        if (!v) return std::nullopt;
        array.push_back(std::move(*v));
      }
      return Value(std::move(array));
    }
    case PLIST_DICT: {
      Dict dict;
      plist_dict_iter raw = nullptr;
      plist_dict_new_iter(node, &raw);
      Owned<void> iter(raw);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, raw, &key, &item);
        Owned<char> owned_key(key);
        if (!item) break;
        auto v = from_node(item, depth + 1, error);
        if (!v) return std::nullopt;
        dict.insert_or_assign(std::string(key ? key : ""), std::move(*v));
      }
      return Value(std::move(dict));
    }
    default:
      return fail("unsupported value type");
  }
}

Node to_node(const Value& value) {
  return std::visit(
      [](const auto& v) -> Node {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return Node(plist_new_bool(v ? 1 : 0));
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return Node(plist_new_uint(static_cast<uint64_t>(v)));
        } else if constexpr (std::is_same_v<T, double>) {
          return Node(plist_new_real(v));
        } else if constexpr (std::is_same_v<T, std::string>) {
          return Node(plist_new_string(v.c_str()));
        } else if constexpr (std::is_same_v<T, Data>) {
          return Node(plist_new_data(reinterpret_cast<const char*>(v.data()), v.size()));
        } else if constexpr (std::is_same_v<T, Date>) {
          // libplist keeps dates as 32-bit seconds and microseconds.
          const double limit = std::numeric_limits<int32_t>::max();
          const double s = std::isfinite(v.seconds) ? std::clamp(v.seconds, -limit, limit) : 0;
          const double whole = std::floor(s);
          return Node(plist_new_date(static_cast<int32_t>(whole),
                                     static_cast<int32_t>((s - whole) * 1e6)));
        } else if constexpr (std::is_same_v<T, Uid>) {
          return Node(plist_new_uid(v.value));
        } else if constexpr (std::is_same_v<T, Array>) {
          Node node(plist_new_array());
          for (const Value& item : v) plist_array_append_item(node.get(), to_node(item).release());
          return node;
        } else {
          Node node(plist_new_dict());
          for (const auto& [key, item] : v)
            plist_dict_set_item(node.get(), key.c_str(), to_node(item).release());
          return node;
        }
      },
      value.variant());
}

// libplist's XML reader recurses once per nesting level and overflows the stack on deep enough
// input, before the depth check of from_node could run. Containers are counted first: an opening
// <array> or <dict> tag (not self-closing) deepens, a closing one returns. Text that merely looks
// like a tag inside a comment can only overestimate the depth.
bool xml_nested_too_deeply(std::string_view xml) {
  int depth = 0;
  for (size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    const std::string_view tag = xml.substr(at + 1);
    const bool closing = tag.starts_with('/');
    const std::string_view name = closing ? tag.substr(1) : tag;
    if (!name.starts_with("array") && !name.starts_with("dict")) continue;
    const size_t end = name.find('>');
    if (end == std::string_view::npos) break;
    if (closing) {
      --depth;
    } else if (name[end - 1] != '/' && ++depth > MAX_DEPTH) {
      return true;
    }
  }
  return false;
}

// Binary property lists are read here rather than by libplist: its binary reader aborts the
// process on some malformed files (an assertion on keys holding a NUL byte), and a preferences
// file is user input. The reader checks every offset, refuses cycles, limits depth and the number
// of values produced (shared objects could otherwise expand exponentially).
class BinaryReader {
 public:
  explicit BinaryReader(std::string_view bytes) : b_(bytes) {}

  std::optional<Value> read(std::string* error) {
    error_ = error;
    if (b_.size() < 8 + 32 || b_.substr(0, 6) != "bplist") return fail("not a binary property list");
    const size_t t = b_.size() - 32;
    offset_size_ = byte(t + 6);
    ref_size_ = byte(t + 7);
    const uint64_t count = be(t + 8, 8), top = be(t + 16, 8), table = be(t + 24, 8);
    if (offset_size_ < 1 || offset_size_ > 8 || ref_size_ < 1 || ref_size_ > 8 || count == 0 ||
        top >= count || table < 8 || table > t || count > (t - table) / offset_size_)
      return fail("damaged binary property list trailer");
    table_ = static_cast<size_t>(table);
    count_ = count;
    on_path_.assign(static_cast<size_t>(count), false);
    return object(top, 0);
  }

 private:
  static constexpr size_t MAX_VALUES = size_t(1) << 18;

  std::optional<Value> fail(const char* why) {
    if (error_) *error_ = why;
    return std::nullopt;
  }
  uint8_t byte(size_t at) const { return static_cast<uint8_t>(b_[at]); }
  // Big-endian unsigned integer of `n` bytes at `at` (the caller checked the bounds).
  uint64_t be(size_t at, size_t n) const {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | byte(at + i);
    return v;
  }
  // True when [at, at + n) lies inside the object area.
  bool inside(size_t at, uint64_t n) const { return at <= table_ && n <= table_ - at; }

  // The element count of a container or blob whose marker is at `at`; moves `at` past it.
  std::optional<uint64_t> length(size_t& at) {
    const uint8_t low = byte(at) & 0x0F;
    ++at;
    if (low != 0x0F) return low;
    if (!inside(at, 1) || (byte(at) & 0xF0) != 0x10) return std::nullopt;
    const size_t n = size_t(1) << (byte(at) & 0x0F);
    if (n > 8 || !inside(at + 1, n)) return std::nullopt;
    const uint64_t v = be(at + 1, n);
    at += 1 + n;
    return v;
  }

  std::optional<Value> object(uint64_t index, int depth) {
    if (depth > MAX_DEPTH) return fail("nested too deeply");
    if (index >= count_) return fail("object reference out of range");
    if (on_path_[index]) return fail("object refers to itself");
    if (++produced_ > MAX_VALUES) return fail("too many values");
    const uint64_t offset = be(table_ + static_cast<size_t>(index) * offset_size_, offset_size_);
    if (offset < 8 || offset >= table_) return fail("object offset out of range");
    on_path_[index] = true;
    auto v = at(static_cast<size_t>(offset), depth);
    on_path_[index] = false;
    return v;
  }

  std::optional<Value> at(size_t at, int depth) {
    const uint8_t marker = byte(at);
    const uint8_t low = marker & 0x0F;
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08 || marker == 0x09) return Value(marker == 0x09);
        return fail("unsupported binary value");
      case 0x1: {
        const size_t n = size_t(1) << low;  // 1, 2, 4, 8 or 16 bytes; 16 keeps the low 8
        if (n > 16 || !inside(at + 1, n)) return fail("damaged integer");
        return Value(static_cast<int64_t>(be(at + 1 + (n == 16 ? 8 : 0), std::min<size_t>(n, 8))));
      }
      case 0x2: {
        if ((low != 2 && low != 3) || !inside(at + 1, size_t(1) << low)) return fail("damaged real");
        if (low == 2) {
          const auto bits = static_cast<uint32_t>(be(at + 1, 4));
          float f;
          std::memcpy(&f, &bits, 4);
          return Value(static_cast<double>(f));
        }
        return Value(real(at + 1));
      }
      case 0x3:
        if (marker != 0x33 || !inside(at + 1, 8)) return fail("damaged date");
        return Value(Date{real(at + 1)});
      case 0x4:
      case 0x5:
      case 0x6: {
        auto n = length(at);
        const uint64_t bytes = n && (marker >> 4) == 0x6 ? *n * 2 : n.value_or(0);
        if (!n || (bytes < *n && (marker >> 4) == 0x6) || !inside(at, bytes)) return fail("damaged data or string");
        const std::string_view raw = b_.substr(at, static_cast<size_t>(bytes));
        if ((marker >> 4) == 0x4) return Value(Data(raw.begin(), raw.end()));
        if ((marker >> 4) == 0x5) return Value(std::string(raw));
        return Value(utf16(raw));
      }
      case 0x8: {
        if (!inside(at + 1, low + 1u) || low > 7) return fail("damaged UID");
        return Value(Uid{be(at + 1, low + 1u)});
      }
      case 0xA:
      case 0xD: {
        const bool dict = (marker >> 4) == 0xD;
        auto n = length(at);
        if (!n || *n > table_ / ref_size_ || !inside(at, *n * ref_size_ * (dict ? 2 : 1)))
          return fail("damaged container");
        const auto ref = [&](uint64_t i) { return be(at + static_cast<size_t>(i) * ref_size_, ref_size_); };
        if (!dict) {
          Array array;
          for (uint64_t i = 0; i < *n; ++i) {
            auto item = object(ref(i), depth + 1);
            if (!item) return std::nullopt;
            array.push_back(std::move(*item));
          }
          return Value(std::move(array));
        }
        Dict map;
        for (uint64_t i = 0; i < *n; ++i) {
          auto key = object(ref(i), depth + 1);
          if (!key) return std::nullopt;
          std::string* k = key->get<std::string>();
          if (!k) return fail("dictionary key is not a string");
          auto item = object(ref(*n + i), depth + 1);
          if (!item) return std::nullopt;
          map.insert_or_assign(std::move(*k), std::move(*item));
        }
        return Value(std::move(map));
      }
      default:
        return fail("unsupported binary value");
    }
  }

  double real(size_t at) const {
    const uint64_t bits = be(at, 8);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  }

  // UTF-16 big-endian to UTF-8; an unpaired surrogate becomes U+FFFD.
  static std::string utf16(std::string_view raw) {
    std::string out;
    const size_t units = raw.size() / 2;
    const auto unit = [&](size_t i) {
      return static_cast<uint16_t>((static_cast<uint8_t>(raw[2 * i]) << 8) | static_cast<uint8_t>(raw[2 * i + 1]));
    };
    for (size_t i = 0; i < units; ++i) {
      uint32_t c = unit(i);
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF)
        c = 0x10000 + ((c - 0xD800) << 10) + (unit(++i) - 0xDC00);
      else if (c >= 0xD800 && c <= 0xDFFF)
        c = 0xFFFD;
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return out;
  }

  std::string_view b_;
  std::string* error_ = nullptr;
  size_t offset_size_ = 0, ref_size_ = 0, table_ = 0;
  uint64_t count_ = 0;
  size_t produced_ = 0;
  std::vector<bool> on_path_;
};

}  // namespace

std::optional<Value> parse(std::string_view bytes, std::string* error) {
  if (bytes.starts_with("bplist")) return BinaryReader(bytes).read(error);
  if (bytes.size() > MAX_BYTES) {
    if (error) *error = "too large";
    return std::nullopt;
  }
  if (xml_nested_too_deeply(bytes)) {
    if (error) *error = "nested too deeply";
    return std::nullopt;
  }
  plist_t raw = nullptr;
  // An empty buffer is not a property list.
  if (!bytes.empty()) plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  Node root(raw);
  if (!root) {
    if (error) *error = bytes.empty() ? "empty" : "not a property list";
    return std::nullopt;
  }
  return from_node(root.get(), 0, error);
}

std::optional<Value> parse_xml_fragment(std::string_view text) {
  if (text.empty() || text.front() != '<' || text.size() > MAX_BYTES || xml_nested_too_deeply(text))
    return std::nullopt;
  plist_t raw = nullptr;
  plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &raw);
  Node root(raw);
  if (!root) return std::nullopt;
  return from_node(root.get(), 0, nullptr);
}

std::string to_xml(const Value& value) {
  Node node = to_node(value);
  char* raw = nullptr;
  uint32_t length = 0;
  plist_to_xml(node.get(), &raw, &length);
  std::unique_ptr<char, XmlFree> out(raw);
  return raw ? std::string(raw, length) : std::string();
}

std::string to_binary(const Value& value) {
  Node node = to_node(value);
  char* raw = nullptr;
  uint32_t length = 0;
  plist_to_bin(node.get(), &raw, &length);
  std::unique_ptr<char, BinFree> out(raw);
  return raw ? std::string(raw, length) : std::string();
}

}  // namespace mirvex::plist
