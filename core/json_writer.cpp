#include "core/json_writer.h"

namespace certwright {

JsonWriter::JsonWriter(Layout layout, std::string& out) : layout_(layout), out_(out) {}
void JsonWriter::begin_object() {}
void JsonWriter::end_object() {}
void JsonWriter::begin_array() {}
void JsonWriter::end_array() {}
void JsonWriter::key(std::string_view) {}
void JsonWriter::string(std::string_view) {}
void JsonWriter::boolean(bool) {}
void JsonWriter::null() {}
void JsonWriter::unsigned_integer(std::uint64_t) {}
void JsonWriter::signed_integer(std::int64_t) {}
void JsonWriter::floating(double) {}
void JsonWriter::value(const JsonValue&) {}
void append_json_string(std::string&, std::string_view) {}
void append_json_double(std::string&, double) {}

}  // namespace certwright
