// The command lines as data: one table per program, one row per option, drives parsing, the
// usage line and the help text, so each name and help text is written once.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/attest_args.h"
#include "cli/build_certificate_args.h"
#include "cli/countersign_args.h"
#include "cli/keygen_args.h"
#include "cli/verify_args.h"

namespace certwright {

// text values must be valid UTF-8; paths are kept as the raw argument bytes.
//   text, path: one value, the option given once;
//   text_each, path_each: one value per occurrence, the option repeatable;
//   path_list: every following argument up to the next option, the option repeatable;
//   flag: no value, given once;
//   optional_path: given once, with a path value or without one (then stored as "");
//   optional_text: given once, with a value only as --name=VALUE or without one (stored as "").
enum class OptionKind {
  text,
  path,
  text_each,
  path_each,
  path_list,
  flag,
  optional_path,
  optional_text
};

// Whether a value may be the empty text.
enum class EmptyValue { allowed, refused };

// Where a row's value lands in the record; the alternative always matches the row's kind.
template <class Args>
using OptionField = std::variant<std::string Args::*, std::optional<std::string> Args::*,
                                 std::vector<std::string> Args::*, bool Args::*>;

template <class Args>
struct BasicOption {
  std::string_view name;        // the long name without its leading "--"
  std::string_view value_name;  // shown as <VALUE_NAME>; empty for a flag
  OptionKind kind;
  OptionField<Args> field;
  std::string_view help;
  EmptyValue empty_value = EmptyValue::allowed;
  char short_name = '\0';  // "-q" for 'q'; none when NUL
};

template <class Args>
struct BasicPositional {
  std::string_view value_name;  // empty: the command takes no positional argument
  std::string Args::*field = nullptr;
  std::string_view help;
  // Where further positional arguments go, when the command takes more than one.
  std::vector<std::string> Args::*more = nullptr;
};

struct OptionGroup {
  std::string_view first_option;
  std::string_view heading;
};

template <class Args>
struct BasicCommand {
  std::string_view name;  // the subcommand's name, or the program's
  std::string_view about;
  BasicPositional<Args> positional;
  std::span<const BasicOption<Args>> options;  // in the record's field order
  // The usage error of options that are each well-formed but not together, or none.
  std::optional<std::string> (*check)(const Args&) = nullptr;
  // True when the options given make the positional argument unnecessary.
  bool (*positional_optional)(const Args&) = nullptr;
  bool has_version = false;  // -V/--version is one of the command's own options
  // Headings of the help's option groups, each before the option it names (long name without
  // "--"); with groups, "-h" prints a short help and "--help" the whole.
  std::span<const OptionGroup> groups = {};
  std::string_view after_help = {};  // printed at the end of the whole help
};

using Option = BasicOption<BuildCertificateArgs>;
using Subcommand = BasicCommand<BuildCertificateArgs>;
using VerifyCommand = BasicCommand<VerifyArgs>;
using KeygenCommand = BasicCommand<KeygenArgs>;
using AttestCommand = BasicCommand<AttestArgs>;
using CountersignCommand = BasicCommand<CountersignArgs>;

inline constexpr std::string_view tool_name = "certwright";
inline constexpr std::string_view tool_about =
    "Emit a factory's run-side governance certificate from a finished run directory. Post-hoc, "
    "identity-bearing, never a verifier (spec 220).";
inline constexpr std::string_view verify_tool_name = "certwright-verify";
inline constexpr std::string_view keygen_tool_name = "certwright-keygen";
inline constexpr std::string_view attest_tool_name = "certwright-attest";
inline constexpr std::string_view countersign_tool_name = "certwright-countersign";

// The `build-certificate` subcommand: about text, RUN_DIR and its option rows.
const Subcommand& build_certificate_command();
// `certwright-verify`: about text, CERTIFICATE and its option rows.
const VerifyCommand& verify_command();
// `certwright-keygen`: about text and its option rows.
const KeygenCommand& keygen_command();
// `certwright-attest`: about text, CERTIFICATE and its option rows.
const AttestCommand& attest_command();
// `certwright-countersign`: about text, CERTIFICATE, its own option rows and the verifier's
// trust and policy rows.
const CountersignCommand& countersign_command();

// The row whose long name is `name` (without "--"), or nullptr when there is none.
template <class Args>
const BasicOption<Args>* find_option(std::span<const BasicOption<Args>> options,
                                     std::string_view name) {
  for (const BasicOption<Args>& option : options)
    if (option.name == name) return &option;
  return nullptr;
}

// A row of certwright-verify's table as a row of a record that extends VerifyArgs: the same
// option, landing in the same member.
template <class Derived>
constexpr BasicOption<Derived> rebased(const BasicOption<VerifyArgs>& row) {
  return {row.name,
          row.value_name,
          row.kind,
          std::visit([](auto field) -> OptionField<Derived> { return field; }, row.field),
          row.help,
          row.empty_value,
          row.short_name};
}

// The row whose short name is `letter`, or nullptr when there is none.
template <class Args>
const BasicOption<Args>* find_short_option(std::span<const BasicOption<Args>> options,
                                           char letter) {
  for (const BasicOption<Args>& option : options)
    if (option.short_name != '\0' && option.short_name == letter) return &option;
  return nullptr;
}

}  // namespace certwright
