// The parsed options of `certwright-attest`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace certwright {

// Paths are native byte strings, unconverted.
struct AttestArgs {
  std::string certificate;
  std::optional<std::string> out;           // the bundle; default beside the certificate
  std::optional<std::string> envelope_out;  // the bare envelope, when asked for
  std::vector<std::string> timestamp_urls;  // RFC 3161 authorities, one token each
  std::optional<std::string> timestamp_timeout;
  std::string subjects = "certificate";  // "certificate", "artifacts" or "both"
};

// The bundle's path: `out`, or else the certificate's path with ".json" replaced by (or, when
// it does not end so, followed by) ".sigstore.json".
std::string bundle_path(const AttestArgs& args);

// The seconds of a --timestamp-timeout value: a duration as --max-age takes it (90s, 2m) or a
// bare whole number of seconds, more than zero; none otherwise.
std::optional<std::int64_t> timeout_seconds(std::string_view text);

// The usage error in options that parse one by one but not together, or none.
std::optional<std::string> check_attest_args(const AttestArgs& args);

}  // namespace certwright
