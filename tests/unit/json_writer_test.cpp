#include "core/base/json_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace certwright {
namespace {

using namespace std::string_view_literals;

std::string encode(const JsonValue& value, Layout layout = Layout::compact) {
  std::string out;
  JsonWriter writer(layout, out);
  writer.value(value);
  return out;
}

JsonValue text(std::string value) {
  return JsonValue{std::move(value)};
}

TEST(JsonWriter, EscapesOnlyQuoteBackslashAndControlCharacters) {
  struct Case {
    std::string_view input;
    std::string_view written;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\dir", R"("C:\\dir")"},
      {"a\nb", R"("a\nb")"},
      {"\b\t\f\r", R"("\b\t\f\r")"},
      {"\x01", R"("\u0001")"},
      {"\x0b", R"("\u000b")"},
      {"\x1f", R"("\u001f")"},
      {"nul\0byte"sv, R"("nul\u0000byte")"},
      {"\"\\\n\x01", R"("\"\\\n\u0001")"},
      {"a/b", R"("a/b")"},
      {"\x7f", "\"\x7f\""},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
  };
  for (const auto& c : cases) {
    std::string out;
    append_json_string(out, c.input);
    EXPECT_EQ(out, c.written) << c.written;
  }
}

TEST(JsonWriter, DisplayEscapesAlsoWriteConcealingCharactersAsEscapes) {
  struct Case {
    std::string_view input;
    std::string_view certificate;
    std::string_view display;
  };
  const Case cases[] = {
      {"invoice\xE2\x80\xAE"
       "fdp.sh\n",
       "\"invoice\xE2\x80\xAE"
       "fdp.sh\\n\"",
       R"("invoice\u202efdp.sh\n")"},
      {"\xEF\xBB\xBF\"\xC2\x85", "\"\xEF\xBB\xBF\\\"\xC2\x85\"", R"("\ufeff\"\u0085")"},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\"", "\"caf\xC3\xA9\""},
  };
  for (const Case& c : cases) {
    std::string certificate;
    JsonWriter(Layout::compact, certificate).string(c.input);
    EXPECT_EQ(certificate, c.certificate);
    std::string display;
    JsonWriter writer(Layout::compact, display, StringEscapes::display);
    writer.begin_object();
    writer.key(c.input);
    writer.string(c.input);
    writer.end_object();
    EXPECT_EQ(display, "{" + std::string(c.display) + ":" + std::string(c.display) + "}");
  }
}

// Strings are scanned several bytes at a time: every byte value, at every position of a string
// longer than two such blocks, is escaped exactly as on its own.
TEST(JsonWriter, EscapesEveryByteValueAtEveryPosition) {
  for (int value = 0; value < 256; ++value) {
    const char byte = static_cast<char>(value);
    std::string alone;
    append_json_string(alone, std::string_view(&byte, 1));
    const std::string_view escaped = std::string_view(alone).substr(1, alone.size() - 2);
    for (std::size_t at = 0; at < 19; ++at) {
      std::string input(19, '~');
      input[at] = byte;
      std::string out;
      append_json_string(out, input);
      const std::string expected =
          "\"" + input.substr(0, at) + std::string(escaped) + input.substr(at + 1) + "\"";
      ASSERT_EQ(out, expected) << "byte " << value << " at " << at;
    }
  }
}

TEST(JsonWriter, WritesEveryNumberForm) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  struct Case {
    JsonValue value;
    std::string_view written;
  };
  const Case cases[] = {
      {{100.0}, "100.0"},
      {{std::uint64_t{100}}, "100"},
      {{1.0}, "1.0"},
      {{1e15}, "1000000000000000.0"},
      {{1234567890123456.7}, "1234567890123456.8"},
      {{1e16}, "1e+16"},
      {{1.2345678901234568e17}, "1.2345678901234568e+17"},
      {{123.45}, "123.45"},
      {{0.5}, "0.5"},
      {{0.001}, "0.001"},
      {{0.00001}, "0.00001"},
      {{1.25e-5}, "0.0000125"},
      {{1e-6}, "1e-6"},
      {{1.5e-7}, "1.5e-7"},
      {{0.1}, "0.1"},
      {{-2.5}, "-2.5"},
      {{-1e-7}, "-1e-7"},
      {{1.7976931348623157e308}, "1.7976931348623157e+308"},
      {{5e-324}, "5e-324"},
      {{0.0}, "0.0"},
      {{-0.0}, "-0.0"},
      {{std::numeric_limits<double>::quiet_NaN()}, "null"},
      {{kInfinity}, "null"},
      {{-kInfinity}, "null"},
      {{std::uint64_t{0}}, "0"},
      {{std::numeric_limits<std::uint64_t>::max()}, "18446744073709551615"},
      {{std::int64_t{-1}}, "-1"},
      {{std::numeric_limits<std::int64_t>::min()}, "-9223372036854775808"},
      {{true}, "true"},
      {{false}, "false"},
      {{nullptr}, "null"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(encode(c.value), c.written) << c.written;
}

TEST(JsonWriter, OrdersObjectMembersByteWise) {
  const JsonValue object{JsonObject{{"b", text("2")}, {"B", text("0")}, {"a", text("1")}}};
  EXPECT_EQ(encode(object), R"({"B":"0","a":"1","b":"2"})");
}

TEST(JsonWriter, WritesEmptyContainersOnOneLineInBothLayouts) {
  const JsonValue empties{JsonObject{{"list", {JsonArray{}}}, {"map", {JsonObject{}}}}};
  EXPECT_EQ(encode(empties), R"({"list":[],"map":{}})");
  EXPECT_EQ(encode(empties, Layout::pretty), "{\n  \"list\": [],\n  \"map\": {}\n}");
  EXPECT_EQ(encode({JsonObject{}}, Layout::pretty), "{}");
  EXPECT_EQ(encode({JsonArray{}}, Layout::pretty), "[]");
}

TEST(JsonWriter, IndentsNestedContainersByTwoSpacesPerLevel) {
  const JsonValue nested{JsonObject{
      {"items", {JsonArray{{std::uint64_t{1}}, {JsonObject{{"k", text("v")}}}, {JsonArray{}}}}},
      {"name", text("x")},
      {"tree", {JsonObject{{"leaf", {JsonArray{{nullptr}}}}}}},
  }};
  EXPECT_EQ(encode(nested), R"({"items":[1,{"k":"v"},[]],"name":"x","tree":{"leaf":[null]}})");
  EXPECT_EQ(encode(nested, Layout::pretty),
            "{\n"
            "  \"items\": [\n"
            "    1,\n"
            "    {\n"
            "      \"k\": \"v\"\n"
            "    },\n"
            "    []\n"
            "  ],\n"
            "  \"name\": \"x\",\n"
            "  \"tree\": {\n"
            "    \"leaf\": [\n"
            "      null\n"
            "    ]\n"
            "  }\n"
            "}");
}

TEST(JsonWriter, StreamsTokensThroughTheSameLayoutRules) {
  std::string out;
  JsonWriter writer(Layout::pretty, out);
  writer.begin_array();
  writer.string("a");
  writer.begin_object();
  writer.key("n");
  writer.signed_integer(-3);
  writer.key("f");
  writer.floating(0.5);
  writer.end_object();
  writer.end_array();
  EXPECT_EQ(out, "[\n  \"a\",\n  {\n    \"n\": -3,\n    \"f\": 0.5\n  }\n]");
}

}  // namespace
}  // namespace certwright
