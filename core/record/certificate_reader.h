// Reading a certificate file back into its records, strictly.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <expected>
#include <string_view>

#include "core/base/error.h"
#include "core/record/certificate.h"

namespace certwright {

// Objects and arrays nested deeper than this are refused.
inline constexpr std::size_t kMaxCertificateDepth = 256;

// The largest certificate read: 64 MiB, about five times the certificate of a run of 120,000
// artifacts (12 MB).
inline constexpr std::size_t kMaxCertificateBytes = std::size_t{64} << 20;

// The most values a text of `size` bytes may hold to be read: parsing and holding a value costs
// up to about 100 bytes whatever its spelling, so a text dense with tiny values ("[0,0,...]")
// would take many times its own size. With this bound reading any text takes at most 4 times
// its size plus 64 MiB; a certificate spends about 40 bytes of text per value (an artifact's
// name and hash), far below it.
std::size_t max_certificate_values(std::size_t size);

// Whether `text` holds no more values than max_certificate_values allows for its size: a linear
// scan that allocates nothing, for any reader to run before a parser spends memory on the text.
bool within_value_bound(std::string_view text);

// The certificate held in `text`: one JSON object (white space around it allowed, no byte-order
// mark) whose every record has exactly the keys its record allows, under their presence rules,
// with every value of its kind (enumeration texts, integers within their width, date-times in
// the certificate's form naming real instants). The error names the first place that is not,
// as "<member path>: <reason>" ("stages[1].artifactHashes: duplicate key \"a\""). Duplicate and
// unknown keys, invalid UTF-8, lone surrogates, numbers out of their kind's range, nesting
// beyond kMaxCertificateDepth and a "certificateVersion" other than the one this program writes
// are all refused, and so is a text with more values than max_certificate_values allows for its
// size. Nested input is walked by the parser without recursion.
std::expected<GovernanceCertificate, Error> read_certificate(simdjson::padded_string_view text);

// The same for a text the caller hands over: it is released once parsed, before the records are
// built, so the two are never held at once (for 120,000 artifacts, 11.3 MiB less at the peak).
std::expected<GovernanceCertificate, Error> read_certificate_releasing(
    simdjson::padded_string&& text);

// The same, for text without the parser's padding (it is copied once).
std::expected<GovernanceCertificate, Error> read_certificate(std::string_view text);

}  // namespace certwright
