#include "core/plist.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
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
    if (plist_is_binary(bytes.data(), length))
      plist_from_bin(bytes.data(), length, &raw);
    else
      plist_from_xml(bytes.data(), length, &raw);
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
