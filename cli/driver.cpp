#include "cli/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <expected>
#include <optional>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "cli/error_line.h"
#include "core/base/error.h"
#include "core/base/memory_pages.h"
#include "core/base/text.h"
#include "core/base/warning.h"
#include "core/evidence/build_spec.h"
#include "core/evidence/corpus_binding.h"
#include "core/evidence/requirements_hash.h"
#include "core/evidence/sbom_binding.h"
#include "core/record/signer_identity.h"
#include "core/seal/certificate_assembly.h"
#include "core/seal/certificate_file.h"
#include "core/seal/signing_key.h"

namespace certwright {
namespace {

// Set once the certificate exists: from then on a failure means it was not written.
bool certificate_assembled = false;

constexpr std::string_view kTenantModeNeedsSigner =
    "--tenant-mode requires --signer-subject and --signer-identity-provider (spec 168 FR-007: "
    "anonymous signing forbidden -- a run with no identifiable signer halts before emitting)";
constexpr std::string_view kOperatorKeyRequired =
    "--require-operator-key was set but the signing material resolved to an ephemeral key (spec "
    "220 FR-003). A production tenant emission must supply an operator key via ZEM_SIGNING_KEY or "
    "ZEM_SIGNING_KEY_PATH; refusing to emit an untrusted certificate.";
constexpr std::string_view kNoOperatorKey =
    "no operator key configured (ZEM_SIGNING_KEY or ZEM_SIGNING_KEY_PATH); the certificate is "
    "signed with a one-time key that no verifier can trust";
constexpr std::string_view kCorpusBindingRequired =
    "--require-corpus-binding was set but no corpus binding could be applied (a corpus "
    "attestation must resolve AND a signer must be present); refusing to emit a certificate "
    "without the required corpus binding.";
constexpr std::string_view kSbomBindingRequired =
    "--require-sbom-binding was set but no SBOM artifact binding could be applied (the BOM/audit "
    "artifacts must resolve AND a signer must be present); refusing to emit a certificate "
    "without the required SBOM binding.";

bool is_existing_directory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The signer from the two signer options, none when neither was given, or the error text.
std::expected<std::optional<SignerIdentity>, Error> resolve_signer(
    const BuildCertificateArgs& args) {
  if (args.signer_identity_provider && !args.signer_subject) {
    return std::unexpected(
        Error{"--signer-identity-provider requires --signer-subject (spec 168 FR-003)"});
  }
  if (args.signer_subject && !args.signer_identity_provider) {
    return std::unexpected(
        Error{"--signer-subject requires --signer-identity-provider (spec 168 FR-003)"});
  }
  if (!args.signer_subject) return std::nullopt;
  auto signer = new_signer_identity(*args.signer_subject, *args.signer_identity_provider);
  if (!signer) return std::unexpected(Error{signer.error().message});
  signer->session_id = args.signer_session_id;
  return std::optional<SignerIdentity>(std::move(*signer));
}

// Resolves the key material once to fail early; the key is wiped when it goes out of scope.
// An ephemeral key that is not refused is warned about here, once per run.
std::expected<void, Error> check_key_material(bool require_operator_key) {
  const auto key = resolve_signing_key();
  if (!key) return std::unexpected(Error{key.error().message});
  if (key->kind == AttestationKind::ephemeral) {
    if (require_operator_key) return std::unexpected(Error{std::string(kOperatorKeyRequired)});
    warn(kNoOperatorKey);
  }
  return {};
}

std::string summary_line(const std::string& out, const GovernanceCertificate& certificate) {
  std::string line = "governance certificate written: ";
  line.append(single_line(out))
      .append(" (status=")
      .append(display_name(certificate.status))
      .append(", stages=")
      .append(std::to_string(certificate.stages.size()))
      .append(", hash=")
      .append(std::string_view(certificate.certificate_hash).substr(0, 16))
      .append("...)\n");
  return line;
}

}  // namespace

int exit_code_for_escaped_failure() {
  return certificate_assembled ? 1 : 2;
}

std::string pipeline_run_id(const std::string& run_dir) {
  // The last named component: separators and "." components are skipped; ".." names nothing.
  std::string_view rest = run_dir;
  std::string_view last;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    if (!component.empty() && component != ".") last = component;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  if (last.empty() || last == ".." || !is_valid_utf8(last)) return "unknown";
  return std::string(last);
}

int run_build_certificate(BuildCertificateArgs args) {
  // Large runs touch tens of MiB: 2,400 page faults instead of 8,500 on 120,000 artifacts.
  use_huge_page_heap();
  if (!is_existing_directory(args.run_dir)) {
    return refuse("run directory does not exist: " + lossy_utf8(args.run_dir));
  }
  RunInputs run{pipeline_run_id(args.run_dir), args.adapter, std::nullopt, false};
  // Read once: the posture is projected from the very bytes that were hashed.
  const BuildSpecContent build_spec = read_build_spec(args.run_dir);
  run.build_spec_hash = build_spec.hash;
  run.build_spec_hashed = run.build_spec_hash.has_value();

  auto requirements_hash = resolve_requirements_hash(args.business_docs, args.requirements_hash);
  if (!requirements_hash) {
    const DocumentReadError& failure = requirements_hash.error();
    return refuse("could not read --business-docs file " + lossy_utf8(failure.path) + ": " +
                  failure.error.message());
  }
  auto signer = resolve_signer(args);
  if (!signer) return refuse(signer.error().message);
  if (args.tenant_mode && !*signer) return refuse(kTenantModeNeedsSigner);
  if (auto key = check_key_material(args.require_operator_key); !key) {
    return refuse(key.error().message);
  }

  auto corpus = resolve_corpus_binding(args.corpus_attestation);
  auto sbom = resolve_sbom_binding(args.sbom_dir);
  auto posture = project_posture(build_spec);
  if (args.require_corpus_binding && (!*signer || !corpus)) return refuse(kCorpusBindingRequired);
  if (args.require_sbom_binding && (!*signer || !sbom)) return refuse(kSbomBindingRequired);

  auto certificate = assemble_certificate(
      AssemblyInputs{args.run_dir, std::move(run), std::move(*requirements_hash),
                     std::move(args.stage_ids), args.tenant_mode, std::move(*signer),
                     std::move(corpus), std::move(sbom), std::move(posture)});
  if (!certificate) return refuse(certificate.error().message);

  certificate_assembled = true;
  const std::string out = args.out.value_or(join_path(args.run_dir, "governance-certificate.json"));
  const std::string summary = summary_line(out, *certificate);
  const auto written = write_certificate(*certificate, out);
  if (!written) {
    print_error("failed to persist certificate at " + lossy_utf8(out) + ": " +
                written.error().message());
    return 1;
  }
  if (const std::error_code error = written->directory_sync_error) {
    warn("certificate written to " + lossy_utf8(out) + " but its directory could not be synced: " +
         error.message() + " (a crash soon after may lose it)");
  }
  write_fully(STDOUT_FILENO, summary);
  return 0;
}

int run_command_line(std::span<char*> argv) {
  const std::vector<std::string_view> arguments(argv.begin(), argv.end());
  return run_parsed(parse_command_line(arguments), run_build_certificate);
}

}  // namespace certwright
