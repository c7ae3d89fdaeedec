#include "cli/index_args.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "core/base/date_time.h"
#include "core/base/text.h"

namespace certwright {
namespace {

constexpr BasicOption<IndexArgs> kDbOption{
    "db",
    "DB",
    OptionKind::path,
    &IndexArgs::db,
    "The store: a SQLite file, or a PostgreSQL server as `postgresql://...` (the password from "
    "libpq's usual places). Defaults to $CERTWRIGHT_INDEX, then "
    "$XDG_DATA_HOME/certwright/index.sqlite",
    EmptyValue::refused};

// The verifier's options that say what to trust and demand; `add` takes them as they are.
constexpr std::array kTrustOptions = {
    "public-key",
    "public-key-file",
    "allowed-signers",
    "platform-key",
    "platform-keys",
    "require-countersign",
    "revoked-keys",
    "integrity-only",
    "signer-subject",
    "signer-identity-provider",
    "require-operator-key",
    "allow-ephemeral",
    "require-corpus-binding",
    "require-sbom-binding",
    "require-posture-binding",
    "require-stage",
    "forbid-skipped",
    "pipeline-run-id",
    "signer-session-id",
    "max-age",
};

std::vector<BasicOption<IndexArgs>> add_options() {
  std::vector<BasicOption<IndexArgs>> options;
  for (const std::string_view name : kTrustOptions)
    options.push_back(rebased<IndexArgs>(*find_option(verify_command().options, name)));
  options.push_back({"files-from", "FILE", OptionKind::path, &IndexArgs::files_from,
                     "Also add the files named in FILE, one a line (`-`: standard input), so "
                     "that no command line limits how many",
                     EmptyValue::refused});
  options.push_back({"null", "", OptionKind::flag, &IndexArgs::null_separated,
                     "The names in the `--files-from` list end in a NUL byte, not a line feed"});
  options.push_back(kDbOption);
  return options;
}

std::optional<std::string> check_add(const IndexArgs& args) {
  if (args.integrity_only)
    return "'--integrity-only' trusts no key: the index keeps only certificates sealed by a "
           "trusted key";
  if (args.certificate.empty() && !args.files_from)
    return "no certificate named: give FILE... or '--files-from <FILE>'";
  return check_verify_args(args);
}

bool is_lower_hex(std::string_view text) {
  return std::ranges::all_of(
      text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string invalid(std::string_view option, std::string_view value, std::string_view expected) {
  return "invalid value '" + single_line(value) + "' for '" + std::string(option) + "': expected " +
         std::string(expected);
}

std::optional<std::string> check_query(const IndexArgs& args) {
  if (args.format != "text" && args.format != "json")
    return invalid("--format <FORMAT>", args.format, "'text' or 'json'");
  for (const std::string& digest : args.digests)
    if (digest.size() != 64 || !is_lower_hex(digest))
      return invalid("--digest <HEX>", digest, "64 lower-case hexadecimal digits");
  if (args.kind && *args.kind != "operator" && *args.kind != "ephemeral")
    return invalid("--kind <KIND>", *args.kind, "'operator' or 'ephemeral'");
  if (args.status && *args.status != "complete" && *args.status != "incomplete")
    return invalid("--status <STATUS>", *args.status, "'complete' or 'incomplete'");
  for (const auto& [name, value] :
       {std::pair{"--since <TIME>", &args.since}, std::pair{"--until <TIME>", &args.until}})
    if (*value && !parse_date_time(**value))
      return invalid(name, **value, "an RFC 3339 UTC time such as 2026-01-31T12:00:00Z");
  if (args.limit) {
    std::int64_t limit = 0;
    const auto [end, error] =
        std::from_chars(args.limit->data(), args.limit->data() + args.limit->size(), limit);
    if (error != std::errc() || end != args.limit->data() + args.limit->size() || limit < 0)
      return invalid("--limit <N>", *args.limit, "a whole number");
  }
  if (args.plain && (args.signer || args.identity_provider))
    return "'--plain' selects certificates without a signer and cannot be used with "
           "'--signer' or '--identity-provider'";
  return std::nullopt;
}

std::optional<std::string> check_prefix(const IndexArgs& args) {
  if (args.certificate.empty() || args.certificate.size() > 64 || !is_lower_hex(args.certificate))
    return invalid("<HASH-PREFIX>", args.certificate,
                   "the first lower-case hexadecimal digits of a certificate hash");
  return std::nullopt;
}

constexpr std::array kQueryOptions = std::to_array<BasicOption<IndexArgs>>({
    {"digest", "HEX", OptionKind::text_each, &IndexArgs::digests,
     "Certificates recording an artifact with this SHA-256; the hits name its stages and "
     "artifacts. Repeatable: every digest must be recorded"},
    {"artifact", "FILE", OptionKind::path_each, &IndexArgs::artifacts,
     "As `--digest`, with the SHA-256 of the file, hashed as the emitter hashes it. Repeatable",
     EmptyValue::refused},
    {"stage", "ID", OptionKind::text, &IndexArgs::stage,
     "With `--digest` or `--artifact`: only hits in this stage; without: certificates that "
     "record this stage"},
    {"run-id", "ID", OptionKind::text, &IndexArgs::run_id, "The pipeline run id (exact text)"},
    {"signer", "SUBJECT", OptionKind::text, &IndexArgs::signer,
     "The signer subject, a pattern in which `*` matches any run of characters; never matches a "
     "certificate without a signer"},
    {"identity-provider", "P", OptionKind::text, &IndexArgs::identity_provider,
     "The signer identity provider, a pattern as for `--signer`"},
    {"plain", "", OptionKind::flag, &IndexArgs::plain, "Certificates that name no signer"},
    {"key", "FINGERPRINT", OptionKind::text, &IndexArgs::key,
     "The signing key's fingerprint (`SHA256:...`, as certwright-keygen prints it)"},
    {"kind", "KIND", OptionKind::text, &IndexArgs::kind,
     "The signing key's kind: `operator` or `ephemeral`"},
    {"status", "STATUS", OptionKind::text, &IndexArgs::status,
     "The certificate's status: `complete` or `incomplete`"},
    {"since", "TIME", OptionKind::text, &IndexArgs::since,
     "Certified at or after this time (RFC 3339 UTC, `2026-01-31T12:00:00Z`)"},
    {"until", "TIME", OptionKind::text, &IndexArgs::until,
     "Certified at or before this time (RFC 3339 UTC)"},
    {"missing-stage", "ID", OptionKind::text_each, &IndexArgs::missing_stages,
     "Certificates without a passed record of this stage. Repeatable", EmptyValue::refused},
    {"skipped", "", OptionKind::flag, &IndexArgs::skipped,
     "Certificates in which some stage was skipped"},
    {"format", "FORMAT", OptionKind::text, &IndexArgs::format,
     "`text`: one line per certificate; `json`: one document"},
    {"limit", "N", OptionKind::text, &IndexArgs::limit,
     "At most N certificates, the earliest first"},
    kDbOption,
});

constexpr std::array kExportOptions = std::to_array<BasicOption<IndexArgs>>({
    {"out", "FILE", OptionKind::path, &IndexArgs::out,
     "Write the bytes to FILE (replaced atomically) instead of standard output",
     EmptyValue::refused},
    kDbOption,
});

constexpr std::array kDbOnly = std::to_array<BasicOption<IndexArgs>>({kDbOption});

constexpr std::string_view kIndexAfterHelp =
    "Exit codes:\n"
    "  0  done\n"
    "  1  a certificate was refused, a prefix names no stored certificate or several, or a "
    "stored\n"
    "     certificate no longer agrees with its facts\n"
    "  2  usage error, or the store or an input could not be read\n";

const IndexCommand& add_command() {
  static const std::vector<BasicOption<IndexArgs>> options = add_options();
  static const IndexCommand command{
      .name = "add",
      .about = "Verify certificates under the trust options and store each one that verifies",
      .positional = {"FILE", &IndexArgs::certificate,
                     "Certificate, bundle or envelope files; `-` reads one from standard input",
                     &IndexArgs::more_certificates},
      .options = options,
      .check = check_add,
      // `--files-from` may name them all; check_add says when nothing is named.
      .positional_optional = [](const IndexArgs&) { return true; },
      .after_help = kIndexAfterHelp,
  };
  return command;
}

constexpr IndexCommand kQuery{
    .name = "query",
    .about = "List the stored certificates that meet every filter, by trusted time, then hash",
    .options = kQueryOptions,
    .check = check_query,
    .after_help = kIndexAfterHelp,
};

constexpr BasicPositional<IndexArgs> kHashPrefix{
    "HASH-PREFIX", &IndexArgs::certificate, "The first hexadecimal digits of its certificate hash"};

constexpr IndexCommand kShow{
    .name = "show",
    .about = "Print the facts and stages of one stored certificate",
    .positional = kHashPrefix,
    .options = kDbOnly,
    .check = check_prefix,
    .after_help = kIndexAfterHelp,
};

constexpr IndexCommand kExport{
    .name = "export",
    .about = "Write the exact bytes a stored certificate was added from, checked first",
    .positional = kHashPrefix,
    .options = kExportOptions,
    .check = check_prefix,
    .after_help = kIndexAfterHelp,
};

constexpr IndexCommand kCheck{
    .name = "check",
    .about = "Verify every stored certificate again from its bytes and compare its stored facts",
    .options = kDbOnly,
    .after_help = kIndexAfterHelp,
};

}  // namespace

std::span<const IndexCommand* const> index_commands() {
  static const std::array<const IndexCommand*, 5> commands = {&add_command(), &kQuery, &kShow,
                                                              &kExport, &kCheck};
  return commands;
}

const IndexCommand* find_index_command(std::string_view name) {
  for (const IndexCommand* command : index_commands())
    if (command->name == name) return command;
  return nullptr;
}

std::string index_top_level_help(std::string_view program) {
  std::string out =
      "Keep every verified certificate in one queryable store: a SQLite file, or a PostgreSQL "
      "server for a fleet\n\nUsage: ";
  out.append(program).append(" <COMMAND> [OPTIONS]\n\nCommands:\n");
  for (const IndexCommand* command : index_commands()) {
    out.append("  ").append(command->name);
    out.append(8 - command->name.size(), ' ').append(command->about).append("\n");
  }
  out.append(
      "\nOptions:\n  -h, --help     Print help\n  -V, --version  Print version\n\n"
      "Every command takes --db <DB>; see '<COMMAND> --help'.\n");
  return out;
}

}  // namespace certwright
