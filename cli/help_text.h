// Usage lines and help texts, generated from the option tables.
#pragma once

#include <string>
#include <string_view>

#include "cli/option_table.h"

namespace certwright {

// "--name <VALUE_NAME>" ("..." appended for a list, "[<VALUE_NAME>]" for an optional value, no
// value for a flag), as help and errors show it.
std::string option_signature(std::string_view name, std::string_view value_name, OptionKind kind);
template <class Args>
std::string option_signature(const BasicOption<Args>& option) {
  return option_signature(option.name, option.value_name, option.kind);
}

// "Usage: <program> <COMMAND>".
std::string top_level_usage(std::string_view program);

// The tool's about text, usage, subcommands and top-level options.
std::string top_level_help(std::string_view program);

// "Usage: <program> <subcommand> [OPTIONS] <POSITIONAL>" for a subcommand, "Usage: <program>
// [OPTIONS] <POSITIONAL>" for a program of its own.
template <class Args>
std::string command_usage(std::string_view program, const BasicCommand<Args>& command);

// How much help: the whole, or (for a command with option groups, on "-h") the first sentence of
// each option's help text.
enum class HelpLength { whole, brief };

// The command's about text, usage, positional and every option with its help text verbatim,
// under the command's group headings, then its after-help text.
template <class Args>
std::string command_help(std::string_view program, const BasicCommand<Args>& command,
                         HelpLength length = HelpLength::whole);

std::string subcommand_usage(std::string_view program, const Subcommand& command);
std::string subcommand_help(std::string_view program, const Subcommand& command);

}  // namespace certwright
