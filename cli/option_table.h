// The command tree as data: one row per option of `build-certificate` drives parsing, the
// usage line and the help text, so each name and help text is written once.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/build_certificate_args.h"

namespace certwright {

// text values must be valid UTF-8; paths are kept as the raw argument bytes.
enum class OptionKind { text, path, path_list, flag };

// Where a row's value lands in the record; the alternative always matches the row's kind.
using OptionField =
    std::variant<std::string BuildCertificateArgs::*,
                 std::optional<std::string> BuildCertificateArgs::*,
                 std::vector<std::string> BuildCertificateArgs::*, bool BuildCertificateArgs::*>;

struct Option {
  std::string_view name;        // the long name without its leading "--"
  std::string_view value_name;  // shown as <VALUE_NAME>; empty for a flag
  OptionKind kind;
  OptionField field;
  std::string_view help;
};

struct Positional {
  std::string_view value_name;
  std::string BuildCertificateArgs::*field;
  std::string_view help;
};

struct Subcommand {
  std::string_view name;
  std::string_view about;
  Positional positional;
  std::span<const Option> options;  // in the record's field order
};

inline constexpr std::string_view tool_name = "certwright";
inline constexpr std::string_view tool_about =
    "Emit a factory's run-side governance certificate from a finished run directory. Post-hoc, "
    "identity-bearing, never a verifier (spec 220).";

// The `build-certificate` subcommand: about text, RUN_DIR and its option rows.
const Subcommand& build_certificate_command();

// The row whose long name is `name` (without "--"), or nullptr when there is none.
const Option* find_option(std::span<const Option> options, std::string_view name);

}  // namespace certwright
