#include "core/evidence/corpus_binding.h"

#include <cstddef>
#include <expected>
#include <string_view>
#include <utility>

#include "core/base/environment.h"
#include "core/base/file_read.h"
#include "core/base/text.h"
#include "core/base/warning.h"
#include "core/evidence/corpus_attestation.h"

namespace certwright {
namespace {

// Most bytes of an attestation that are read: 32 MiB. The record is a few hundred bytes; keys it
// does not list may add more, but not this much.
constexpr std::size_t kMaxAttestationBytes = 32 * 1024 * 1024;

// The option's bytes are opened as they are, so any existing file can be bound; only the
// warnings show them as text.
std::optional<std::string> attestation_path(const std::optional<std::string>& option) {
  if (option) return *option;
  if (const auto variable = unicode_variable("ZEM_CORPUS_ATTESTATION_PATH")) {
    return std::string(*variable);
  }
  return std::nullopt;
}

// The attestation's text when the file reads whole and is UTF-8; the error text otherwise.
std::expected<std::string, std::string> read_attestation_text(const std::string& path) {
  auto content = read_whole_file(path, kMaxAttestationBytes);
  if (!content) return std::unexpected(content.error().message());
  if (!is_valid_utf8(*content)) return std::unexpected("stream did not contain valid UTF-8");
  return std::move(*content);
}

}  // namespace

std::optional<CorpusBinding> resolve_corpus_binding(const std::optional<std::string>& option) {
  const std::optional<std::string> path = attestation_path(option);
  if (!path) return std::nullopt;
  const std::string shown = lossy_utf8(*path);
  const auto text = read_attestation_text(*path);
  if (!text) {
    warn_unbound("corpus attestation " + shown + " unreadable: " + text.error());
    return std::nullopt;
  }
  auto attestation = parse_corpus_attestation(*text);
  if (!attestation) {
    warn_unbound(shown + " is not a CorpusAttestation: " + attestation.error().message);
    return std::nullopt;
  }
  auto hash = attestation_hash(*attestation);
  if (!hash) {
    warn_unbound("attestation_hash failed: " + hash.error().message);
    return std::nullopt;
  }
  return CorpusBinding{std::move(*hash), std::move(attestation->tool.version)};
}

}  // namespace certwright
