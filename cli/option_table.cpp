#include "cli/option_table.h"

#include <algorithm>
#include <array>

namespace certwright {
namespace {

constexpr std::array build_certificate_options = std::to_array<Option>({
    {"adapter", "ADAPTER", OptionKind::text, &BuildCertificateArgs::adapter,
     "Adapter name. Defaults to `unknown` if not supplied"},
    {"requirements-hash", "REQUIREMENTS_HASH", OptionKind::text,
     &BuildCertificateArgs::requirements_hash,
     "SHA-256 of the input requirements documents. If `--business-docs` is supplied, the hash is "
     "computed from those files and this flag is ignored"},
    {"business-docs", "BUSINESS_DOCS", OptionKind::path_list, &BuildCertificateArgs::business_docs,
     "Optional requirement document paths. When supplied, their concatenated SHA-256 is recorded "
     "as `intent.requirementsHash`"},
    {"out", "OUT", OptionKind::path, &BuildCertificateArgs::out,
     "Full output file path (including the file name) for the emitted certificate. Parent "
     "directories are created as needed. Defaults to `<run-dir>/governance-certificate.json` when "
     "omitted"},
    {"repo-root", "REPO_ROOT", OptionKind::path, &BuildCertificateArgs::repo_root,
     "Repository root used to locate the committed spec registry for `intent.spec_id` resolution "
     "validation. Defaults to the current working directory. A tenant certificate carries no "
     "`spec_id`, so this is a no-op on the emit path (kept for parity with ZEM's emitter)"},
    {"tenant-mode", "", OptionKind::flag, &BuildCertificateArgs::tenant_mode,
     "Spec 168 §FR-007 -- when set, the binary halts before emission if no signer is provided. "
     "Required for certwright runs"},
    {"signer-subject", "SIGNER_SUBJECT", OptionKind::text, &BuildCertificateArgs::signer_subject,
     "Spec 168 §FR-003 -- principal identifier (typically a Rauthy JWT subject for human-driven "
     "tenant runs)"},
    {"signer-identity-provider", "SIGNER_IDENTITY_PROVIDER", OptionKind::text,
     &BuildCertificateArgs::signer_identity_provider,
     "Spec 168 §FR-003 -- system that attested the subject (e.g. `rauthy@<tenant-org>` or "
     "`github-actions@<repo>`)"},
    {"signer-session-id", "SIGNER_SESSION_ID", OptionKind::text,
     &BuildCertificateArgs::signer_session_id,
     "Spec 168 §FR-003 -- optional run-scoped session id"},
    {"stage-ids", "STAGE_IDS", OptionKind::text, &BuildCertificateArgs::stage_ids,
     "Spec 168 §2.4 -- comma-separated stage IDs to record in the certificate, in the given order. "
     "Use `auto` to trigger filesystem discovery (every subdirectory of `<run-dir>`, "
     "lexicographic). Omit to use ZEM's default s0..s5 list"},
    {"require-operator-key", "", OptionKind::flag, &BuildCertificateArgs::require_operator_key,
     "Spec 220 FR-003: refuse the ephemeral signing-key fallback. When set, the binary exits "
     "non-zero (code 2) if signing material resolves to an ephemeral key rather than an "
     "operator-supplied one (ZEM_SIGNING_KEY / ZEM_SIGNING_KEY_PATH). A production tenant emission "
     "must pass this so it can never silently emit an untrusted certificate"},
    {"corpus-attestation", "CORPUS_ATTESTATION", OptionKind::path,
     &BuildCertificateArgs::corpus_attestation,
     "Spec 220 FR-007: path to a varrow CorpusAttestation JSON to bind into the certificate by "
     "hash (read, never recompute). Falls back to the ZEM_CORPUS_ATTESTATION_PATH env var. Applied "
     "on the tenant (signer) build path"},
    {"require-corpus-binding", "", OptionKind::flag, &BuildCertificateArgs::require_corpus_binding,
     "Refuse to emit unless a corpus binding is actually applied. When set, the binary exits 2 if "
     "no corpus attestation resolved (missing, unreadable, or malformed) or if there is no signer "
     "to bind it onto, so a production emission can never silently drop the binding behind a "
     "warning. Mirrors `--require-operator-key`"},
    {"sbom-dir", "SBOM_DIR", OptionKind::path, &BuildCertificateArgs::sbom_dir,
     "Spec 203 FR-003: produced-app root whose `.factory/sbom.cdx.json` and `.factory/audit.json` "
     "are bound into the certificate by content hash (read, never recompute). Falls back to the "
     "ZEM_SBOM_DIR env var. Applied on the tenant (signer) build path. The BOM tool version is "
     "read from the BOM's own `metadata.tools`. When unset (or a file is unreadable) the cert is "
     "emitted unbound, exactly like the corpus binding"},
    {"require-sbom-binding", "", OptionKind::flag, &BuildCertificateArgs::require_sbom_binding,
     "Refuse to emit unless an SBOM artifact binding is actually applied. When set, the binary "
     "exits 2 if the BOM/audit artifacts did not resolve or if there is no signer to bind them "
     "onto. Mirrors `--require-corpus-binding`"},
});

// A row whose field type disagrees with its kind would be parsed one way and stored another.
constexpr bool kind_matches_field(const Option& option) {
  switch (option.kind) {
    case OptionKind::text:
    case OptionKind::path:
      return !option.value_name.empty() &&
             (std::holds_alternative<std::string BuildCertificateArgs::*>(option.field) ||
              std::holds_alternative<std::optional<std::string> BuildCertificateArgs::*>(
                  option.field));
    case OptionKind::path_list:
      return !option.value_name.empty() &&
             std::holds_alternative<std::vector<std::string> BuildCertificateArgs::*>(option.field);
    case OptionKind::flag:
      return option.value_name.empty() &&
             std::holds_alternative<bool BuildCertificateArgs::*>(option.field);
  }
  return false;
}
static_assert(std::ranges::all_of(build_certificate_options, kind_matches_field));

constexpr Subcommand build_certificate{
    .name = "build-certificate",
    .about =
        "Build a signed governance certificate from a factory run directory (spec 102 "
        "FR-003; spec 168 FR-002; spec 220)",
    .positional = {"RUN_DIR", &BuildCertificateArgs::run_dir,
                   "Path to the factory run directory (`.factory/runs/<run_id>`)"},
    .options = build_certificate_options,
};

}  // namespace

const Subcommand& build_certificate_command() {
  return build_certificate;
}

const Option* find_option(std::span<const Option> options, std::string_view name) {
  const auto row = std::ranges::find(options, name, &Option::name);
  return row == options.end() ? nullptr : &*row;
}

}  // namespace certwright
