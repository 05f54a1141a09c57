#include "core/plist.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

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

// libplist 2.2 stops the process (a failed assertion) when it hands out a dictionary key whose
// UTF-16 form in a binary property list holds a NUL unit (it keeps the converted length, which
// then disagrees with the C string). Such lists are refused before libplist parses them: this
// walks the binary format's offset table and checks the UTF-16 key strings of every dictionary,
// each string once. ASCII keys are safe (libplist cuts them at the NUL); anything this cannot
// interpret is left to libplist.
bool binary_key_has_nul(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint64_t n = bytes.size();
  if (n < 8 + 32) return false;
  const auto be = [&](uint64_t at, uint64_t width, uint64_t& out) {
    if (width == 0 || width > 8 || at > n || width > n - at) return false;
    out = 0;
    for (uint64_t i = 0; i < width; ++i) out = out << 8 | p[at + i];
    return true;
  };
  const uint64_t offset_size = p[n - 26], ref_size = p[n - 25];
  uint64_t count = 0, table = 0;
  if (!be(n - 24, 8, count) || !be(n - 8, 8, table) || offset_size == 0 || offset_size > 8 ||
      ref_size == 0 || ref_size > 8 || table >= n || count > (n - table) / offset_size)
    return false;
  const auto offset_of = [&](uint64_t index, uint64_t& at) {
    return index < count && be(table + index * offset_size, offset_size, at) && at < n;
  };
  // An object's element count and where its content starts (after an extended count).
  const auto extent = [&](uint64_t at, uint64_t& length, uint64_t& start) {
    length = p[at] & 0xF;
    start = at + 1;
    if (length != 0xF) return true;
    if (start >= n || (p[start] & 0xF0) != 0x10) return false;
    const uint64_t width = uint64_t{1} << (p[start] & 0xF);
    if (!be(start + 1, width, length)) return false;
    start += 1 + width;
    return true;
  };
  std::vector<bool> checked(count);
  const auto has_nul = [&](uint64_t index) {
    uint64_t at = 0, length = 0, start = 0;
    if (index >= count || checked[index] || !offset_of(index, at) || !extent(at, length, start))
      return false;
    checked[index] = true;
    if (start > n) return false;
    if ((p[at] >> 4) == 0x6 && length <= (n - start) / 2)  // UTF-16, big-endian units
      for (uint64_t i = 0; i < length; ++i)
        if (p[start + 2 * i] == 0 && p[start + 2 * i + 1] == 0) return true;
    return false;
  };
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t at = 0, length = 0, start = 0;
    if (!offset_of(i, at) || (p[at] >> 4) != 0xD || !extent(at, length, start) || start > n ||
        length > (n - start) / ref_size)
      continue;
    for (uint64_t k = 0; k < length; ++k) {
      uint64_t key = 0;
      if (be(start + k * ref_size, ref_size, key) && has_nul(key)) return true;
    }
  }
  return false;
}

}  // namespace

std::optional<Value> parse(std::string_view bytes, std::string* error) {
  if (bytes.size() > MAX_BYTES) {
    if (error) *error = "too large";
    return std::nullopt;
  }
  const auto length = static_cast<uint32_t>(bytes.size());
  plist_t raw = nullptr;
  // An empty buffer is not a property list; libplist would read past nothing.
  if (length > 0) {
    if (plist_is_binary(bytes.data(), length)) {
      if (binary_key_has_nul(bytes)) {
        if (error) *error = "a dictionary key holds a NUL character";
        return std::nullopt;
      }
      plist_from_bin(bytes.data(), length, &raw);
    } else {
      plist_from_xml(bytes.data(), length, &raw);
    }
  }
  Node root(raw);
  if (!root) {
    if (error) *error = bytes.empty() ? "empty" : "not a property list";
    return std::nullopt;
  }
  return from_node(root.get(), 0, error);
}

std::optional<Value> parse_xml_fragment(std::string_view text) {
  if (text.empty() || text.front() != '<' || text.size() > MAX_BYTES) return std::nullopt;
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
