#include "core/evidence/yaml_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace certwright {
namespace {

// The JSON value of the single value in the document "v: <value>".
std::expected<JsonValue, std::string> value_of(const std::string& value) {
  const auto document = parse_yaml_document("v: " + value + "\n");
  if (!document) return std::unexpected("parse: " + document.error());
  const YamlNode& root = document->node(document->root);
  return to_json_value(*document, root.entries.at(0).second);
}

JsonValue text(std::string_view value) {
  return JsonValue{std::string(value)};
}
JsonValue number(std::uint64_t value) {
  return JsonValue{value};
}
JsonValue negative(std::int64_t value) {
  return JsonValue{value};
}
JsonValue real(double value) {
  return JsonValue{value};
}

TEST(YamlJson, TypesScalarsByTheCoreSchemaAndStandardTags) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string yaml;
    JsonValue expected;
  };
  const Case cases[] = {
      // null
      {"", JsonValue{}},
      {"~", JsonValue{}},
      {"null", JsonValue{}},
      {"Null", JsonValue{}},
      {"NULL", JsonValue{}},
      {"nULL", text("nULL")},
      {"'null'", text("null")},
      {"!!null ''", JsonValue{}},
      // booleans
      {"true", JsonValue{true}},
      {"True", JsonValue{true}},
      {"TRUE", JsonValue{true}},
      {"false", JsonValue{false}},
      {"False", JsonValue{false}},
      {"FALSE", JsonValue{false}},
      {"yes", text("yes")},  // a YAML 1.1 boolean only
      {"tRUE", text("tRUE")},
      {"\"true\"", text("true")},
      {"!!str true", text("true")},
      {"!!bool 'false'", JsonValue{false}},
      // integers
      {"12", number(12)},
      {"+12", number(12)},
      {"-12", negative(-12)},
      {"-0", number(0)},
      {"007", number(7)},
      {"0o17", number(15)},
      {"0x1F", number(31)},
      {"0xff", number(255)},
      {"18446744073709551615", number(std::numeric_limits<std::uint64_t>::max())},
      {"-9223372036854775808", negative(std::numeric_limits<std::int64_t>::min())},
      {"1_000", text("1_000")},
      {"0b101", text("0b101")},
      {"-0x1F", text("-0x1F")},
      {"0o18", text("0o18")},
      {"0x", text("0x")},
      {"'12'", text("12")},
      {"!!int \"12\"", number(12)},
      {"!!int 0x10", number(16)},
      // floats
      {"1e16", real(1e16)},
      {"100.0", real(100.0)},
      {"1.", real(1.0)},
      {".5", real(0.5)},
      {"-2.5E-3", real(-2.5e-3)},
      {"+1e+2", real(100.0)},
      {"-0.0", real(-0.0)},
      {"1e", text("1e")},
      {".", text(".")},
      {"1.2.3", text("1.2.3")},
      {".inf", real(kInf)},
      {".Inf", real(kInf)},
      {"+.INF", real(kInf)},
      {"-.inf", real(-kInf)},
      {".infinity", text(".infinity")},
      {"!!float 3", real(3.0)},
      {"!!float '-.Inf'", real(-kInf)},
      // other tags keep the text; block scalars are strings
      {"! 12", text("12")},
      {"!local 12", text("12")},
      {"!!binary aGk=", text("aGk=")},
      {"!<tag:example.com,2024:x> true", text("true")},
      {"|\n  12\n", text("12\n")},
      // collections
      {"[1, 'a', ~]", JsonValue{JsonArray{number(1), text("a"), JsonValue{}}}},
      {"{b: 1, a: 2, b: 3}", JsonValue{JsonObject{{"a", number(2)}, {"b", number(3)}}}},
      {"{1: x, true: y, ~: z}",
       JsonValue{JsonObject{{"1", text("x")}, {"true", text("y")}, {"~", text("z")}}}},
  };
  for (const auto& c : cases) {
    const auto value = value_of(c.yaml);
    ASSERT_TRUE(value.has_value()) << c.yaml << ": " << value.error();
    EXPECT_EQ(*value, c.expected) << c.yaml;
    if (const double* d = std::get_if<double>(&value->value); d && *d == 0) {
      EXPECT_EQ(std::signbit(*d), c.yaml.starts_with('-')) << c.yaml;
    }
  }
}

TEST(YamlJson, FloatsTooSmallForADoubleAreZeroOfTheirSign) {
  const std::string tiny_fraction = "0." + std::string(400, '0') + "1";
  struct Case {
    std::string yaml;
    bool negative;
  };
  const Case cases[] = {
      {"1e-400", false},           {"-1e-330", true},
      {"+1E-400", false},          {"!!float -1e-400", true},
      {"0.001e-322", false},       {tiny_fraction, false},
      {"-" + tiny_fraction, true}, {"1e-99999999999999999999", false},
  };
  for (const auto& c : cases) {
    const auto value = value_of(c.yaml);
    ASSERT_TRUE(value.has_value()) << c.yaml << ": " << value.error();
    const double* d = std::get_if<double>(&value->value);
    ASSERT_NE(d, nullptr) << c.yaml;
    EXPECT_EQ(*d, 0.0) << c.yaml;
    EXPECT_EQ(std::signbit(*d), c.negative) << c.yaml;
  }
  // The smallest denormal still reads as itself.
  EXPECT_EQ(value_of("5e-324").value(), real(std::numeric_limits<double>::denorm_min()));
}

TEST(YamlJson, NanIsADoubleInEverySpelling) {
  for (const std::string spelling : {".nan", ".NaN", ".NAN", "!!float .nan"}) {
    const auto value = value_of(spelling);
    ASSERT_TRUE(value.has_value()) << spelling;
    EXPECT_TRUE(std::isnan(std::get<double>(value->value))) << spelling;
  }
  EXPECT_EQ(value_of("-.nan").value(), text("-.nan"));
}

TEST(YamlJson, RefusesValuesThatCannotBeCarried) {
  struct Case {
    std::string yaml;
    std::string message;
  };
  const Case cases[] = {
      {"18446744073709551616", "integer does not fit in 64 bits at line 1, column 4"},
      {"-9223372036854775809", "integer does not fit in 64 bits at line 1, column 4"},
      {"0x10000000000000000", "integer does not fit in 64 bits at line 1, column 4"},
      {"1e400", "number out of the range of a double at line 1, column 4"},
      {"-1.5e309", "number out of the range of a double at line 1, column 4"},
      {"100000000000000000000e300", "number out of the range of a double at line 1, column 4"},
      {"!!float 1e999999999999999999999",
       "number out of the range of a double at line 1, column 4"},
      {"!!int 1.5", "not a valid !!int value at line 1, column 4"},
      {"!!bool yes", "not a valid !!bool value at line 1, column 4"},
      {"!!null \"x\\n\"", "not a valid !!null value at line 1, column 4"},
      {"!!float 0x1F", "not a valid !!float value at line 1, column 4"},
      {"{[a]: 1}", "a sequence used as a mapping key at line 1, column 5"},
      {"\n  ? {a: 1}\n  : x\n", "a mapping used as a mapping key at line 2, column 5"},
  };
  for (const auto& c : cases) {
    const auto value = value_of(c.yaml);
    ASSERT_FALSE(value.has_value()) << c.yaml;
    EXPECT_EQ(value.error(), c.message) << c.yaml;
  }
}

}  // namespace
}  // namespace certwright
