#include "cli/attest_args.h"

#include <algorithm>

#include "core/base/text.h"
#include "core/verify/release_policy.h"

namespace certwright {

std::string bundle_path(const AttestArgs& args) {
  if (args.out) return *args.out;
  std::string_view stem = args.certificate;
  if (stem.ends_with(".json")) stem.remove_suffix(std::string_view(".json").size());
  return std::string(stem) + ".sigstore.json";
}

std::optional<std::int64_t> timeout_seconds(std::string_view text) {
  // A day bounds it: an authority that has not answered by then will not.
  constexpr std::int64_t kMaxSeconds = 24 * 60 * 60;
  const bool bare = !text.empty() && text.size() <= 6 &&
                    std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
  const auto seconds =
      bare ? parse_duration_seconds(std::string(text) + "s") : parse_duration_seconds(text);
  if (!seconds || *seconds <= 0 || *seconds > kMaxSeconds) return std::nullopt;
  return seconds;
}

std::optional<std::string> check_attest_args(const AttestArgs& args) {
  if (args.subjects != "certificate" && args.subjects != "artifacts" && args.subjects != "both")
    return "invalid value '" + single_line(args.subjects) +
           "' for '--subjects <SUBJECTS>': expected 'certificate', 'artifacts' or 'both'";
  if (args.timestamp_timeout && !timeout_seconds(*args.timestamp_timeout))
    return "invalid value '" + single_line(*args.timestamp_timeout) +
           "' for '--timestamp-timeout <DURATION>': expected whole seconds (10) or a whole number "
           "and s, m or h (90s, 2m), at most a day";
  if (args.timestamp_timeout && args.timestamp_urls.empty())
    return "'--timestamp-timeout' needs '--timestamp-url'";
  for (const std::string& url : args.timestamp_urls)
    if (!url.starts_with("http://") && !url.starts_with("https://"))
      return "invalid value for '--timestamp-url <URL>': expected an http:// or https:// URL";
  return std::nullopt;
}

}  // namespace certwright
