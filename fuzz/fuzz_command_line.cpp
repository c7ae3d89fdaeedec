// The argument parser of all three programs: the input is argv (argv[0] included), one argument
// per NUL-separated piece.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/command_line.h"
#include "cli/verify_args.h"
#include "core/base/text.h"
#include "core/seal/public_key.h"

namespace {

std::vector<std::string_view> split_arguments(std::string_view bytes) {
  std::vector<std::string_view> argv;
  while (!bytes.empty()) {
    const auto end = bytes.find('\0');
    argv.push_back(bytes.substr(0, end));
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
  }
  return argv;
}

// A message for a terminal: valid UTF-8, and no control character but the line breaks the
// message itself puts between its lines, whatever bytes the arguments held.
void check_usage_error(const std::string& text) {
  if (!certwright::is_valid_utf8(text)) std::abort();
  for (const char c : text)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto argv = split_arguments(std::string_view(reinterpret_cast<const char*>(data), size));
  const auto parsed = certwright::parse_command_line(argv);
  if (const auto* error = std::get_if<certwright::UsageError>(&parsed))
    check_usage_error(error->text);
  if (const auto* args = std::get_if<certwright::BuildCertificateArgs>(&parsed)) {
    // Text fields are promised to be UTF-8; paths are raw bytes.
    for (const auto* text : {&args->signer_subject, &args->signer_identity_provider,
                             &args->signer_session_id, &args->stage_ids, &args->requirements_hash})
      if (*text && !certwright::is_valid_utf8(**text)) std::abort();
  }
  // The same arguments for the verifier and the key tool, which share the parser.
  const auto verify = certwright::parse_verify_command_line(argv);
  if (const auto* error = std::get_if<certwright::UsageError>(&verify))
    check_usage_error(error->text);
  if (const auto* args = std::get_if<certwright::VerifyArgs>(&verify)) {
    // Trust is stated exactly one way, unless no certificate is read (--policy-schema,
    // --vsa-check) or a policy file states it.
    const bool keys = !args->public_keys.empty() || !args->public_key_files.empty() ||
                      !args->allowed_signers.empty();
    const bool trust_elsewhere = args->policy_schema || args->vsa_check || args->policy;
    if (!trust_elsewhere && args->integrity_only == keys) std::abort();
    for (const auto& key : args->public_keys)
      if (!certwright::parse_public_key(key)) std::abort();
  }
  const auto keygen = certwright::parse_keygen_command_line(argv);
  if (const auto* error = std::get_if<certwright::UsageError>(&keygen))
    check_usage_error(error->text);
  if (const auto* args = std::get_if<certwright::KeygenArgs>(&keygen))
    if (args->out.has_value() == args->public_key_of.has_value()) std::abort();
  return 0;
}
