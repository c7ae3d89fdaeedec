// A free-form JSON value whose objects are ordered by key, byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace certwright {

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
// std::string compares as unsigned bytes, which is the ordering every certificate map uses.
using JsonObject = std::map<std::string, JsonValue>;

// Numbers keep the kind they were read as: unsigned 64-bit, negative signed 64-bit, or double.
struct JsonValue {
  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, JsonArray,
               JsonObject>
      value = nullptr;

  friend bool operator==(const JsonValue&, const JsonValue&) = default;
};

}  // namespace certwright
