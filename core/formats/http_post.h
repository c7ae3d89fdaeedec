// One HTTP(S) POST with a bounded answer: how certwright-attest asks a timestamp authority.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/base/error.h"

namespace certwright {

struct HttpPost {
  std::string url;           // http:// or https:// only
  std::string content_type;  // of the body sent
  std::string body;
  std::int64_t timeout_seconds = 10;  // for the whole exchange
  std::size_t max_answer_bytes = 1 << 20;
};

// The answer's body when the server answers 200. TLS peers are always verified, redirects are
// never followed, and no more than `max_answer_bytes` is read. The error names the fault (a
// timeout, a refused connection, a TLS failure, another status, an answer too large); it never
// holds the URL.
std::expected<std::string, Error> http_post(const HttpPost& post);

// `url` as it may be shown: without user name, password, query or fragment, which may hold
// credentials; the text "(unreadable URL)" when it cannot be parsed.
std::string shown_url(std::string_view url);

}  // namespace certwright
