// Checking that a document is JSON as RFC 8259 defines it, numbers of any magnitude included.
#pragma once

#include <simdjson.h>

#include <string_view>
#include <vector>

namespace certwright {

// Deepest nesting a checked document may have, counting the root as 1: the DOM parser's limit.
inline constexpr std::size_t kMaxJsonDepth = simdjson::DEFAULT_MAX_DEPTH;

// Checks that the document being iterated is one JSON object or array with only white space
// after it, walking all of it (strings, literals and nesting as the parsers check them). RFC
// 8259 sets no bound on a number's magnitude, so numbers are checked against the grammar alone:
// a 30-digit integer or 1e400 is valid. The raw text of every number is appended to `numbers`
// when given (views into the parsed buffer). SUCCESS, or the first error found:
// SCALAR_DOCUMENT_AS_VALUE for a root that is not an object or array, DEPTH_ERROR past
// kMaxJsonDepth. The parser must have room for one level more than kMaxJsonDepth; the document
// is left at its end (rewind() it to read it).
simdjson::error_code check_json(simdjson::ondemand::document& document,
                                std::vector<std::string_view>* numbers = nullptr);

}  // namespace certwright
