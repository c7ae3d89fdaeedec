// The posture projection: any bytes as a build spec. A projection that parses must encode as
// valid JSON, since it goes into the certificate.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/json_writer.h"
#include "core/base/text.h"
#include "core/evidence/build_spec.h"
#include "core/record/certificate_encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view yaml(reinterpret_cast<const char*>(data), size);
  const auto projection = certwright::parse_posture_projection(yaml);
  if (!projection) {
    if (!certwright::is_valid_utf8(certwright::single_line(projection.error()))) std::abort();
    return 0;
  }
  const auto binding = certwright::posture_binding(projection->agentic_posture);
  std::string json;
  certwright::JsonWriter writer(certwright::Layout::compact, json);
  certwright::write_json(writer, binding);
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(simdjson::padded_string(json)).get(root) != simdjson::SUCCESS) std::abort();
  return 0;
}
