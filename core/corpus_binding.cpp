#include "core/corpus_binding.h"

#include <expected>
#include <string_view>
#include <utility>

#include "core/corpus_attestation.h"
#include "core/environment.h"
#include "core/padded_file.h"
#include "core/text.h"
#include "core/warning.h"

namespace certwright {
namespace {

// The option's bytes are turned into text first; that text is both what is opened and what
// the warnings show.
std::optional<std::string> attestation_path(const std::optional<std::string>& option) {
  if (option) return lossy_utf8(*option);
  if (const auto variable = unicode_variable("ZEM_CORPUS_ATTESTATION_PATH")) {
    return std::string(*variable);
  }
  return std::nullopt;
}

// The attestation's bytes when the file reads whole and is UTF-8; the error text otherwise.
std::expected<simdjson::padded_string, std::string> read_attestation_text(const std::string& path) {
  auto content = read_padded_file(path);
  if (!content) return std::unexpected(content.error().message());
  if (!is_valid_utf8(std::string_view(content->data(), content->size()))) {
    return std::unexpected("stream did not contain valid UTF-8");
  }
  return std::move(*content);
}

void warn_unbound(std::string message) {
  warn(message.append(" (cert unbound)"));
}

}  // namespace

std::optional<CorpusBinding> resolve_corpus_binding(const std::optional<std::string>& option) {
  const std::optional<std::string> path = attestation_path(option);
  if (!path) return std::nullopt;
  const auto text = read_attestation_text(*path);
  if (!text) {
    warn_unbound("corpus attestation " + *path + " unreadable: " + text.error());
    return std::nullopt;
  }
  auto attestation = parse_corpus_attestation(std::string_view(text->data(), text->size()));
  if (!attestation) {
    warn_unbound(*path + " is not a CorpusAttestation: " + attestation.error().message);
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
