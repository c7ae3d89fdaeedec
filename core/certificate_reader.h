// Reading a certificate file back into its records, strictly.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <expected>
#include <string_view>

#include "core/certificate.h"
#include "core/error.h"

namespace certwright {

// Objects and arrays nested deeper than this are refused.
inline constexpr std::size_t kMaxCertificateDepth = 256;

// The certificate held in `text`: one JSON object (white space around it allowed, no byte-order
// mark) whose every record has exactly the keys its record allows, under their presence rules,
// with every value of its kind (enumeration texts, integers within their width, date-times in
// the certificate's form naming real instants). The error names the first place that is not,
// as "<member path>: <reason>" ("stages[1].artifactHashes: duplicate key \"a\""). Duplicate and
// unknown keys, invalid UTF-8, lone surrogates, numbers out of their kind's range, nesting
// beyond kMaxCertificateDepth and a "certificateVersion" other than the one this program writes
// are all refused. Nested input is walked by the parser without recursion.
std::expected<GovernanceCertificate, Error> read_certificate(simdjson::padded_string_view text);

// The same, for text without the parser's padding (it is copied once).
std::expected<GovernanceCertificate, Error> read_certificate(std::string_view text);

}  // namespace certwright
