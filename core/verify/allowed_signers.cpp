#include "core/verify/allowed_signers.h"

#include <algorithm>

#include "core/base/text.h"

namespace certwright {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The fields of one line, or why they cannot be read.
std::expected<std::vector<std::string>, std::string> split_fields(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  while (at < line.size()) {
    if (is_blank(line[at])) {
      ++at;
      continue;
    }
    if (line[at] == '"') {
      const std::size_t close = line.find('"', at + 1);
      if (close == std::string_view::npos) return std::unexpected("a quoted field is not closed");
      fields.emplace_back(line.substr(at + 1, close - at - 1));
      at = close + 1;
      if (at < line.size() && !is_blank(line[at]))
        return std::unexpected("a quoted field runs into the next");
      continue;
    }
    const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
    fields.emplace_back(line.substr(at, end - at));
    at = end;
  }
  return fields;
}

std::expected<AllowedSigner, std::string> parse_line(std::string_view line) {
  auto fields = split_fields(line);
  if (!fields) return std::unexpected(fields.error());
  if (fields->size() != 3)
    return std::unexpected("expected SUBJECT IDENTITY-PROVIDER KEY, found " +
                           std::to_string(fields->size()) + " fields");
  const auto key = parse_public_key((*fields)[2]);
  if (!key) return std::unexpected("KEY: " + key.error());
  AllowedSigner signer{(*fields)[0], (*fields)[1], *key, false};
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
  std::size_t line_number = 0;
  for (std::string_view rest = text; !rest.empty();) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = trim_white_space(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    ++line_number;
    if (line.empty() || line.front() == '#') continue;
    auto signer = parse_line(line);
    if (!signer)
      return std::unexpected("line " + std::to_string(line_number) + ": " + signer.error());
    signers.push_back(std::move(*signer));
  }
  return signers;
}

bool allows(const AllowedSigner& line, const std::optional<SignerIdentity>& signer) {
  if (!signer) return line.plain;
  return !line.plain && matches_pattern(line.subject, signer->subject) &&
         matches_pattern(line.identity_provider, signer->identity_provider);
}

}  // namespace certwright
