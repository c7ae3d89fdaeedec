// Usage lines and help texts, generated from the option table.
#pragma once

#include <string>
#include <string_view>

#include "cli/option_table.h"

namespace certwright {

// "--name <VALUE_NAME>" ("..." appended for a list, no value for a flag), as help and errors show
// it.
std::string option_signature(const Option& option);

// "Usage: <program> <COMMAND>".
std::string top_level_usage(std::string_view program);

// "Usage: <program> <subcommand> [OPTIONS] <POSITIONAL>".
std::string subcommand_usage(std::string_view program, const Subcommand& command);

// The tool's about text, usage, subcommands and top-level options.
std::string top_level_help(std::string_view program);

// The subcommand's about text, usage, positional and every option with its help text verbatim.
std::string subcommand_help(std::string_view program, const Subcommand& command);

}  // namespace certwright
