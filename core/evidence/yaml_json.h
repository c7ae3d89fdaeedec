// YAML nodes as JSON values, typed by the YAML 1.2 core schema.
#pragma once

#include <expected>
#include <string>

#include "core/base/json_value.h"
#include "core/evidence/yaml_tree.h"

namespace certwright {

// The value of a scalar. Untagged plain scalars are typed by their text (null, boolean, integer,
// float, else string); quoted and block scalars are strings. The tags !!str, !!null, !!bool,
// !!int and !!float force their type; any other tag ("!", "!local", "!!binary", a URI) keeps
// the text as a string, since JSON has no way to carry the tag. Integers are unsigned or
// negative signed 64-bit values, floats doubles (.inf and .nan included; a float too small for a
// double is 0.0 or -0.0). An error, with the scalar's position and never its text, when a tagged
// text does not fit its tag, an integer does not fit 64 bits or a float overflows a double: a
// number is never carried as another value.
std::expected<JsonValue, std::string> scalar_value(const YamlNode& scalar);

// The node as a JSON value: mappings become objects keyed by each key's scalar text (a key
// repeated later wins), sequences arrays, scalars `scalar_value`. An error for a sequence or
// mapping used as a key, or for a scalar that `scalar_value` refuses.
std::expected<JsonValue, std::string> to_json_value(const YamlDocument& document, YamlNodeId id);

}  // namespace certwright
