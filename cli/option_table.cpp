#include "cli/option_table.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <variant>

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
     "omitted",
     EmptyValue::refused},
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

constexpr std::array verify_options = std::to_array<BasicOption<VerifyArgs>>({
    {"files-from", "FILE", OptionKind::path, &VerifyArgs::files_from,
     "Also verify the certificates named in FILE, one a line (`-`: standard input), after those "
     "named as arguments, so that no command line limits how many",
     EmptyValue::refused},
    {"null", "", OptionKind::flag, &VerifyArgs::null_separated,
     "The names in the `--files-from` list end in a NUL byte, not a line feed"},
    {"public-key", "KEY", OptionKind::text_each, &VerifyArgs::public_keys,
     "A trusted operator public key, for any signer: 44 characters of standard Base64 (a label "
     "may follow) or a PEM `PUBLIC KEY` block. Repeatable; the certificate must be sealed by one "
     "of the trusted keys"},
    {"public-key-file", "FILE", OptionKind::path_each, &VerifyArgs::public_key_files,
     "A file of trusted public keys, for any signer: one Base64 key per line (a label may "
     "follow) or PEM `PUBLIC KEY` blocks; blank lines and lines starting with `#` are ignored. "
     "Repeatable, and combinable with `--public-key`",
     EmptyValue::refused},
    {"allowed-signers", "FILE", OptionKind::path_each, &VerifyArgs::allowed_signers,
     "A file of keys bound to signers: `SUBJECT IDENTITY-PROVIDER KEY` per line, patterns with "
     "`*`, "
     "`- -` for plain certificates. The certificate's key must be on a line that matches its "
     "signer. Repeatable, and combinable with the keys above. A line may end with "
     "`valid-after=TIME` and `valid-before=TIME` (RFC 3339, or `YYYYMMDD[HHMM[SS]]Z`): the key is "
     "trusted only when the certificate's trusted time lies in that window",
     EmptyValue::refused},
    {"platform-key", "KEY", OptionKind::text_each, &VerifyArgs::platform_keys,
     "A trusted platform public key, in any form `--public-key` takes, known by its `SHA256:` "
     "fingerprint as kid: a `platformCountersign` by it is checked (check `countersign`) and its "
     "time becomes the certificate's trusted time. Repeatable"},
    {"platform-keys", "FILE", OptionKind::path_each, &VerifyArgs::platform_key_files,
     "A file of trusted platform keys: `KID KEY` per line, quoted as in `--allowed-signers`, "
     "optionally followed by `valid-after=TIME` and `valid-before=TIME`. Repeatable",
     EmptyValue::refused},
    {"require-countersign", "", OptionKind::flag, &VerifyArgs::require_countersign,
     "Fail unless the certificate carries a platform countersignature that verifies under a "
     "trusted platform key"},
    {"revoked-keys", "FILE", OptionKind::path_each, &VerifyArgs::revoked_keys,
     "A file of revoked operator and platform keys: `KEY-OR-FINGERPRINT [revoked-at=TIME] "
     "[REASON...]` per line. A key revoked without a time is never trusted; one revoked at T "
     "still seals certificates that a platform countersigned, or a trusted timestamp authority "
     "dated, before T. Repeatable",
     EmptyValue::refused},
    {"tsa-certs", "FILE", OptionKind::path_each, &VerifyArgs::tsa_certs,
     "PEM certificates of the trusted timestamp authorities (roots, and intermediates where "
     "used): each RFC 3161 token of a bundle is checked (check `timestamp`: signature, chain at "
     "the token's time, extended key usage timeStamping and critical, imprint the SHA-256 of the "
     "envelope's signature), and the earliest token's time becomes the certificate's trusted time. "
     "Repeatable",
     EmptyValue::refused},
    {"require-timestamp", "N", OptionKind::optional_text, &VerifyArgs::require_timestamp,
     "Fail unless at least N (default 1) timestamp tokens of the bundle verify under "
     "`--tsa-certs`"},
    {"at", "TIME", OptionKind::text, &VerifyArgs::at,
     "Judge as of TIME (RFC 3339, or `YYYYMMDD[HHMM[SS]]Z`) instead of now: freshness, the "
     "future bound and revocations dated after it",
     EmptyValue::refused},
    {"integrity-only", "", OptionKind::flag, &VerifyArgs::integrity_only,
     "Trust no key: check only that the certificate is intact and sealed by the key it carries. "
     "The report says that nothing is trusted"},
    {"signer-subject", "S", OptionKind::text, &VerifyArgs::signer_subject,
     "The signer subject the certificate must name (exact text)"},
    {"signer-identity-provider", "P", OptionKind::text, &VerifyArgs::signer_identity_provider,
     "The signer identity provider the certificate must name (exact text)"},
    {"require-operator-key", "", OptionKind::flag, &VerifyArgs::require_operator_key,
     "Require `signingAttestation.kind` to be `operator`; on by default when a trusted key is "
     "given"},
    {"allow-ephemeral", "", OptionKind::flag, &VerifyArgs::allow_ephemeral,
     "Accept a certificate sealed by an ephemeral key (turns the default of "
     "`--require-operator-key` off)"},
    {"require-corpus-binding", "", OptionKind::flag, &VerifyArgs::require_corpus_binding,
     "Require a corpus binding in the certificate"},
    {"require-sbom-binding", "", OptionKind::flag, &VerifyArgs::require_sbom_binding,
     "Require an SBOM artifact binding in the certificate"},
    {"require-posture-binding", "", OptionKind::flag, &VerifyArgs::require_posture_binding,
     "Require an agentic posture binding in the certificate"},
    {"require-stage", "ID", OptionKind::text_each, &VerifyArgs::required_stages,
     "The stage must be recorded and every record of it `passed`. Repeatable", EmptyValue::refused},
    {"forbid-skipped", "", OptionKind::flag, &VerifyArgs::forbid_skipped,
     "Every stage record must be `passed`, those of required stages included"},
    {"pipeline-run-id", "ID", OptionKind::text, &VerifyArgs::pipeline_run_id,
     "The run id the certificate must name (exact text)"},
    {"signer-session-id", "S", OptionKind::text, &VerifyArgs::signer_session_id,
     "The signer session the certificate must name (exact text)"},
    {"max-age", "DURATION", OptionKind::text, &VerifyArgs::max_age,
     "The certificate's trusted time (the earlier of its platform countersignature's and its "
     "bundle's earliest timestamp token's among those that verify, else its own timestamp) must "
     "be at most this old (`90m`, `24h`, `7d`) and at most 5 minutes in "
     "the future"},
    {"artifact", "FILE", OptionKind::path_each, &VerifyArgs::artifacts,
     "The file's SHA-256 must be recorded in some stage; the check `artifact:FILE` names where. "
     "Repeatable",
     EmptyValue::refused},
    {"forbid-other-stages", "", OptionKind::flag, &VerifyArgs::forbid_other_stages,
     "No stage may be recorded but those `--require-stage` names (a stray stage fails "
     "`stage-policy`)"},
    {"policy", "FILE", OptionKind::path, &VerifyArgs::policy,
     "The gate's policy file (YAML or JSON; `--policy-schema` prints its schema): keys, signers, "
     "stages, freshness and expiry decided once; options add to it and never loosen it. The "
     "check `policy` fails once it expires",
     EmptyValue::refused},
    {"policy-schema", "", OptionKind::flag, &VerifyArgs::policy_schema,
     "Print the JSON Schema of the policy file and exit"},
    {"run-dir", "DIR", OptionKind::path, &VerifyArgs::run_dir,
     "Re-hash the run directory and compare: every stage of the certificate is walked at "
     "`DIR/<stageId>` as the emitter walks it, and `buildSpec.hash` is recomputed from "
     "`DIR/s5-ui-specification/build-spec.yaml`",
     EmptyValue::refused},
    {"business-docs", "DOC", OptionKind::path_list, &VerifyArgs::business_docs,
     "Recompute `intent.requirementsHash` from these requirement documents and compare"},
    {"corpus-attestation", "FILE", OptionKind::path, &VerifyArgs::corpus_attestation,
     "Recompute the corpus binding from this CorpusAttestation JSON and compare",
     EmptyValue::refused},
    {"sbom-dir", "DIR", OptionKind::path, &VerifyArgs::sbom_dir,
     "Recompute the SBOM artifact binding from `.factory/sbom.cdx.json` and `.factory/audit.json` "
     "under this directory and compare",
     EmptyValue::refused},
    {"require-full-coverage", "", OptionKind::flag, &VerifyArgs::require_full_coverage,
     "With `--run-dir`: fail when the run directory holds entries the certificate cannot cover "
     "(any entry but the recorded stage directories and the directories on the way to nested "
     "stages, files below stage subdirectories, links, special or unreadable files)"},
    {"attestation", "FILE", OptionKind::path, &VerifyArgs::attestation,
     "A Sigstore bundle or DSSE envelope from `certwright-attest` for CERTIFICATE: its signature, "
     "Statement, key and subject are checked before the certificate inside it",
     EmptyValue::refused},
    {"format", "FORMAT", OptionKind::text, &VerifyArgs::format,
     "The report's form on standard output: `text`, `json`, or `jsonl`: one line of JSON per "
     "certificate as soon as its verdict is taken, then a line `{\"summary\": ...}` with the "
     "counts, holding nothing of a certificate once its line is written"},
    {"report", "FILE", OptionKind::path, &VerifyArgs::report,
     "Also write the JSON report to FILE (standard output keeps the text report)",
     EmptyValue::refused},
    {"quiet", "", OptionKind::flag, &VerifyArgs::quiet,
     "Print no report; the exit code alone tells the result", EmptyValue::allowed, 'q'},
    {"junit", "FILE", OptionKind::path, &VerifyArgs::junit,
     "Also write the verdict as JUnit XML: one `testsuite` per certificate, one `testcase` per "
     "check",
     EmptyValue::refused},
    {"markdown", "FILE", OptionKind::path, &VerifyArgs::markdown,
     "Also write a Markdown summary (verdict, facts, checks, stages), fit for "
     "`$GITHUB_STEP_SUMMARY`",
     EmptyValue::refused},
    {"html", "FILE", OptionKind::path, &VerifyArgs::html,
     "Also write one self-contained HTML page for an auditor", EmptyValue::refused},
    {"vsa", "FILE", OptionKind::path, &VerifyArgs::vsa,
     "Also write a signed SLSA verification summary (a Sigstore bundle) covering every "
     "certificate of the run; needs `--vsa-key-file` and `--verifier-id`",
     EmptyValue::refused},
    {"vsa-key-file", "SEED", OptionKind::path, &VerifyArgs::vsa_key_file,
     "The Ed25519 seed file the summary is signed with (a public key is refused)",
     EmptyValue::refused},
    {"verifier-id", "URI", OptionKind::text, &VerifyArgs::verifier_id,
     "The verifier's id in the summary (`verifier.id`); with `--vsa-check`, the id it must name",
     EmptyValue::refused},
    {"resource-uri", "URI", OptionKind::text, &VerifyArgs::resource_uri,
     "The summary's `resourceUri`; default `urn:certwright:run:` and the run id",
     EmptyValue::refused},
    {"vsa-check", "FILE", OptionKind::path, &VerifyArgs::vsa_check,
     "Check a verification summary instead of certificates: signed by `--vsa-key`, PASSED for "
     "the `--subject` file, by `--verifier-id` and under `--policy`'s digest when given, and no "
     "older than `--max-age` when given",
     EmptyValue::refused},
    {"vsa-key", "KEY", OptionKind::text, &VerifyArgs::vsa_key,
     "The summary's public key, in any form `--public-key` takes", EmptyValue::refused},
    {"subject", "FILE", OptionKind::path, &VerifyArgs::subject,
     "The artifact the summary must have passed", EmptyValue::refused},
});

// certwright-countersign's own rows; the verifier's trust and policy rows follow them.
constexpr std::array countersign_options = std::to_array<BasicOption<CountersignArgs>>({
    {"out", "FILE", OptionKind::path, &CountersignArgs::out,
     "Write the countersigned certificate to FILE instead of replacing CERTIFICATE; either is "
     "written atomically, and nothing is written unless the certificate verifies",
     EmptyValue::refused},
    {"replace", "", OptionKind::flag, &CountersignArgs::replace,
     "Replace a countersignature the certificate already carries (without it such a certificate "
     "is refused)"},
    {"kid", "KID", OptionKind::text, &CountersignArgs::kid,
     "The key id in the countersignature's header and record; default the platform key's "
     "`SHA256:` fingerprint",
     EmptyValue::refused},
    {"platform-id", "ID", OptionKind::text, &CountersignArgs::platform_id,
     "The platform's name as the countersignature's issuer (`iss`); default the platform key's "
     "fingerprint",
     EmptyValue::refused},
});

// The verifier's rows that certwright-countersign takes too: it countersigns one certificate,
// trust must be stated (no --integrity-only), platform trust and the JSON report are the
// verifier's alone, and the time is now.
constexpr bool countersign_takes(std::string_view name) {
  for (const std::string_view verifier_only : {"files-from",
                                               "null",
                                               "integrity-only",
                                               "platform-key",
                                               "platform-keys",
                                               "require-countersign",
                                               "tsa-certs",
                                               "require-timestamp",
                                               "at",
                                               "attestation",
                                               "format",
                                               "report",
                                               "policy",
                                               "policy-schema",
                                               "junit",
                                               "markdown",
                                               "html",
                                               "vsa",
                                               "vsa-key-file",
                                               "verifier-id",
                                               "resource-uri",
                                               "vsa-check",
                                               "vsa-key",
                                               "subject"})
    if (name == verifier_only) return false;
  return true;
}

constexpr std::size_t countersign_row_count() {
  std::size_t count = countersign_options.size();
  for (const BasicOption<VerifyArgs>& row : verify_options)
    if (countersign_takes(row.name)) ++count;
  return count;
}

// Every row of certwright-countersign, its own first; a verifier row's field becomes the same
// member of CountersignArgs, which extends VerifyArgs.
constexpr auto countersign_all_options = [] {
  std::array<BasicOption<CountersignArgs>, countersign_row_count()> rows{};
  std::size_t at = 0;
  for (const auto& row : countersign_options)
    rows[at++] = row;
  for (const BasicOption<VerifyArgs>& row : verify_options)
    if (countersign_takes(row.name)) rows[at++] = rebased<CountersignArgs>(row);
  return rows;
}();

constexpr std::array keygen_options = std::to_array<BasicOption<KeygenArgs>>({
    {"out", "FILE", OptionKind::path, &KeygenArgs::out,
     "Write a new seed from the operating system's random source to FILE as its Base64 text, "
     "created with mode 0600 and never overwriting, and its public key to FILE.pub; print the "
     "public key as `--public` does (the only line on standard output) and its fingerprint and "
     "the verify command on standard error",
     EmptyValue::refused},
    {"public", "FILE", OptionKind::optional_path, &KeygenArgs::public_key_of,
     "Print the public key of the seed in FILE, the key of a public key file (labelled or PEM; "
     "bare Base64 is a seed's form and read as a seed) or, without FILE, the public key of the "
     "key the emitter would resolve from ZEM_SIGNING_KEY or ZEM_SIGNING_KEY_PATH",
     EmptyValue::refused},
    {"format", "FORMAT", OptionKind::text, &KeygenArgs::format,
     "With `--public`: print the key as `base64` (the default: 44 characters, a space and the "
     "label `certwright-ed25519-public-key`, a line no seed reader accepts and every key option "
     "reads) or `pem` (a `PUBLIC KEY` block)"},
});

constexpr std::array attest_options = std::to_array<BasicOption<AttestArgs>>({
    {"out", "PATH", OptionKind::path, &AttestArgs::out,
     "Where to write the Sigstore bundle. Defaults to the certificate's path with `.json` "
     "replaced by `.sigstore.json`",
     EmptyValue::refused},
    {"envelope-out", "PATH", OptionKind::path, &AttestArgs::envelope_out,
     "Also write the bare DSSE envelope to PATH", EmptyValue::refused},
    {"subjects", "SUBJECTS", OptionKind::text, &AttestArgs::subjects,
     "What the Statement names as its subjects: `certificate` (the default: the certificate file), "
     "`artifacts` (every artifact of every passed stage as `STAGE/NAME` with its recorded "
     "SHA-256, in the certificate's order) or `both` (the certificate first), so that tools "
     "that look attestations up by an artifact's digest find this one"},
    {"timestamp-url", "URL", OptionKind::text_each, &AttestArgs::timestamp_urls,
     "Ask the RFC 3161 timestamp authority at URL (http or https; TLS verified, no redirects) "
     "for a token over the SHA-256 of the envelope's signature and put its answer into the "
     "bundle's `rfc3161Timestamps`; the answer is checked first (status granted, our imprint and "
     "nonce, a token that verifies), and nothing is written on any failure. Repeatable: one "
     "token per authority",
     EmptyValue::refused},
    {"timestamp-timeout", "DURATION", OptionKind::text, &AttestArgs::timestamp_timeout,
     "How long each authority may take: whole seconds (`10`, the default) or a duration as "
     "`--max-age` takes it (`90s`, `2m`)",
     EmptyValue::refused},
});

// A row whose field type disagrees with its kind would be parsed one way and stored another.
template <class Args>
constexpr bool kind_matches_field(const BasicOption<Args>& option) {
  const bool has_value = !option.value_name.empty();
  switch (option.kind) {
    case OptionKind::text:
    case OptionKind::path:
    case OptionKind::optional_path:
    case OptionKind::optional_text:
      return has_value &&
             (std::holds_alternative<std::string Args::*>(option.field) ||
              std::holds_alternative<std::optional<std::string> Args::*>(option.field));
    case OptionKind::text_each:
    case OptionKind::path_each:
    case OptionKind::path_list:
      return has_value && std::holds_alternative<std::vector<std::string> Args::*>(option.field);
    case OptionKind::flag:
      return !has_value && std::holds_alternative<bool Args::*>(option.field);
  }
  return false;
}
static_assert(std::ranges::all_of(build_certificate_options,
                                  kind_matches_field<BuildCertificateArgs>));
static_assert(std::ranges::all_of(verify_options, kind_matches_field<VerifyArgs>));
static_assert(std::ranges::all_of(keygen_options, kind_matches_field<KeygenArgs>));
static_assert(std::ranges::all_of(attest_options, kind_matches_field<AttestArgs>));
static_assert(std::ranges::all_of(countersign_all_options, kind_matches_field<CountersignArgs>));

constexpr Subcommand build_certificate{
    .name = "build-certificate",
    .about =
        "Build a signed governance certificate from a factory run directory (spec 102 "
        "FR-003; spec 168 FR-002; spec 220)",
    .positional = {"RUN_DIR", &BuildCertificateArgs::run_dir,
                   "Path to the factory run directory (`.factory/runs/<run_id>`)"},
    .options = build_certificate_options,
};

constexpr std::array verify_groups = std::to_array<OptionGroup>({
    {"files-from", "Certificates"},
    {"public-key", "Trust (one of these is required)"},
    {"signer-subject", "Signer"},
    {"require-operator-key", "Policy"},
    {"run-dir", "Run directory and inputs (read only once the seal is trusted)"},
    {"format", "Output"},
    {"vsa-check", "Checking a verification summary (in place of certificates)"},
});

constexpr std::string_view verify_after_help =
    "Exit codes:\n"
    "  0  every certificate verified\n"
    "  1  a certificate does not verify (the report names each failed check)\n"
    "  2  usage error, or a certificate or input could not be read\n"
    "\n"
    "Example, a release gate:\n"
    "  certwright-verify governance-certificate.json --allowed-signers allowed-signers \\\n"
    "    --require-stage s0-preflight --forbid-skipped --max-age 24h \\\n"
    "    --run-dir .factory/runs/r-1234 --report verify-report.json\n";

constexpr VerifyCommand verify{
    .name = verify_tool_name,
    .about =
        "Verify a governance certificate: intact, sealed by a trusted key, for the expected "
        "signer, and, on request, still matching its run directory and inputs",
    .positional = {"CERTIFICATE", &VerifyArgs::certificate,
                   "The certificate files to verify (`governance-certificate.json`), each with the "
                   "same policy; `-` reads one from standard input",
                   &VerifyArgs::more_certificates},
    .options = verify_options,
    .check = check_verify_args,
    .positional_optional = verify_positional_optional,
    .has_version = true,
    .groups = verify_groups,
    .after_help = verify_after_help,
};

constexpr std::array countersign_groups = std::to_array<OptionGroup>({
    {"out", "Countersignature"},
    {"public-key", "Trust (one of these is required)"},
    {"signer-subject", "Signer"},
    {"require-operator-key", "Policy"},
    {"run-dir", "Run directory and inputs (read only once the seal is trusted)"},
});

constexpr std::string_view countersign_after_help =
    "The platform key is an Ed25519 seed in CERTWRIGHT_PLATFORM_KEY or in the file named by\n"
    "CERTWRIGHT_PLATFORM_KEY_PATH, never the operator's key.\n"
    "\n"
    "Exit codes:\n"
    "  0  countersigned\n"
    "  1  the certificate does not verify (the report names each failed check), or it is\n"
    "     countersigned already and --replace was not given; nothing is written\n"
    "  2  usage error, no usable platform key, or an input could not be read or written\n"
    "\n"
    "Example, after the release gate:\n"
    "  certwright-countersign governance-certificate.json --allowed-signers allowed-signers \\\n"
    "    --require-stage s0-preflight --forbid-skipped --max-age 1h --platform-id ci.example\n";

constexpr CountersignCommand countersign{
    .name = countersign_tool_name,
    .about =
        "Countersign a governance certificate as the platform, once it verifies under the given "
        "trust and policy: a JWS over its hash, signature and run id at the platform's time",
    .positional =
        {"CERTIFICATE", &CountersignArgs::certificate,
         "The certificate file to verify and countersign (`governance-certificate.json`)"},
    .options = countersign_all_options,
    .check = check_countersign_args,
    .has_version = true,
    .groups = countersign_groups,
    .after_help = countersign_after_help,
};

constexpr KeygenCommand keygen{
    .name = keygen_tool_name,
    .about =
        "Make an operator signing seed for certwright, or print the public key that verifiers "
        "pin",
    .positional = {},
    .options = keygen_options,
    .check = check_keygen_args,
    .has_version = true,
};

constexpr AttestCommand attest{
    .name = attest_tool_name,
    .about =
        "Sign an operator-sealed governance certificate as an in-toto Statement in a DSSE "
        "envelope and write it as a Sigstore bundle",
    .positional = {"CERTIFICATE", &AttestArgs::certificate,
                   "The certificate file to attest (`governance-certificate.json`)"},
    .options = attest_options,
    .check = check_attest_args,
    .has_version = true,
};

}  // namespace

const AttestCommand& attest_command() {
  return attest;
}

const CountersignCommand& countersign_command() {
  return countersign;
}

const Subcommand& build_certificate_command() {
  return build_certificate;
}

const VerifyCommand& verify_command() {
  return verify;
}

const KeygenCommand& keygen_command() {
  return keygen;
}

}  // namespace certwright
