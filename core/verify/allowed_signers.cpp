#include "core/verify/allowed_signers.h"

#include <algorithm>

#include "core/verify/key_lines.h"

namespace certwright {
namespace {

std::expected<AllowedSigner, std::string> parse_line(std::vector<std::string>& fields) {
  auto window = take_key_window(fields);
  if (!window) return std::unexpected(window.error());
  if (fields.size() != 3)
    return std::unexpected(
        "expected SUBJECT IDENTITY-PROVIDER KEY [valid-after=TIME] "
        "[valid-before=TIME], found " +
        std::to_string(fields.size()) + " fields");
  const auto key = parse_public_key(fields[2]);
  if (!key) return std::unexpected("KEY: " + key.error());
  AllowedSigner signer{fields[0], fields[1], *key, false, *window};
  const bool subject_plain = signer.subject == "-";
  if (subject_plain != (signer.identity_provider == "-"))
    return std::unexpected("\"-\" stands for a plain certificate only as both patterns");
  signer.plain = subject_plain;
  return signer;
}

}  // namespace

bool matches_pattern(std::string_view pattern, std::string_view text) {
  // Greedy matching with one backtrack point: the last "*" seen.
  std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*')
    ++p;
  return p == pattern.size();
}

std::expected<std::vector<AllowedSigner>, std::string> parse_allowed_signers(
    std::string_view text) {
  std::vector<AllowedSigner> signers;
  const auto read = read_key_lines(
      text, [&](std::vector<std::string>& fields) -> std::expected<void, std::string> {
        auto signer = parse_line(fields);
        if (!signer) return std::unexpected(signer.error());
        signers.push_back(std::move(*signer));
        return {};
      });
  if (!read) return std::unexpected(read.error());
  return signers;
}

bool allows(const AllowedSigner& line, const std::optional<SignerIdentity>& signer) {
  if (!signer) return line.plain;
  return !line.plain && matches_pattern(line.subject, signer->subject) &&
         matches_pattern(line.identity_provider, signer->identity_provider);
}

}  // namespace certwright
