#include "cli/command_line.h"

#include <cstdio>
#include <optional>
#include <type_traits>
#include <vector>

#include "cli/driver.h"
#include "cli/help_text.h"
#include "cli/option_table.h"
#include "core/text.h"

namespace certwright {
namespace {

struct HelpRequested {};

// A rejected argument; the caller adds the usage line of the level it was found on.
struct Failure {
  std::string message;
};

using Stop = std::variant<HelpRequested, Failure>;

// A lone "-" is an ordinary value (by convention standard input or output), never an option.
bool looks_like_option(std::string_view argument) {
  return argument.size() > 1 && argument.front() == '-';
}

bool is_help(std::string_view name) {
  return name == "-h" || name == "--help";
}

// Arguments are raw bytes; messages must stay valid UTF-8 and on one line.
std::string quoted(std::string_view argument) {
  std::string text = single_line(argument);
  text.insert(text.begin(), '\'');  // not `"'" + ...`: GCC 12 -O3 misreads that as overlapping
  text.push_back('\'');
  return text;
}

struct SplitOption {
  std::string_view name;
  std::optional<std::string_view> joined_value;
};

// "--name=value" into its name and value; a value may itself contain "=".
SplitOption split_joined(std::string_view argument) {
  const auto equals = argument.find('=');
  if (equals == std::string_view::npos) return {argument, std::nullopt};
  return {argument.substr(0, equals), argument.substr(equals + 1)};
}

Failure unexpected(std::string_view argument) {
  return {"unexpected argument " + quoted(argument) + " found"};
}

Failure value_given_to_flag(std::string_view flag, std::string_view value) {
  return {"the flag " + quoted(flag) + " takes no value, but was given " + quoted(value)};
}

std::string usage_error(std::string_view message, std::string_view usage) {
  return "error: " + std::string(message) + "\n\n" + std::string(usage) +
         "\n\nFor more information, try '--help'.\n";
}

// The file name of argv[0], as usage lines show it: one line, whatever the caller named it.
std::string program_name(std::span<const std::string_view> argv) {
  if (argv.empty()) return std::string(tool_name);
  const std::string_view path = argv.front();
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name.empty() ? std::string(tool_name) : single_line(name);
}

// Reads the arguments after the subcommand name, left to right; the first help request or
// rejected argument ends the parse.
class SubcommandParser {
 public:
  SubcommandParser(const Subcommand& command, std::span<const std::string_view> arguments)
      : command_(command), arguments_(arguments), seen_(command.options.size(), false) {}

  std::variant<BuildCertificateArgs, Stop> parse() {
    while (next_ < arguments_.size()) {
      const std::string_view argument = arguments_[next_++];
      const bool positional = options_ended_ || !looks_like_option(argument);
      if (auto stop = positional ? take_positional(argument) : take_option(argument))
        return *std::move(stop);
    }
    if (!have_positional_) return Stop(missing_positional());
    return std::move(args_);
  }

 private:
  std::optional<Stop> take_positional(std::string_view argument) {
    if (have_positional_) {
      const std::string_view value_name = command_.positional.value_name;
      return Failure{unexpected(argument).message + "; <" + std::string(value_name) +
                     "> is already " + quoted(args_.*command_.positional.field)};
    }
    have_positional_ = true;
    args_.*command_.positional.field = std::string(argument);
    return std::nullopt;
  }

  std::optional<Stop> take_option(std::string_view argument) {
    if (argument == "--") {
      options_ended_ = true;
      return std::nullopt;
    }
    const auto [name, joined_value] = split_joined(argument);
    if (is_help(name))
      return joined_value ? Stop(value_given_to_flag(name, *joined_value)) : HelpRequested{};
    const Option* option =
        name.starts_with("--") ? find_option(command_.options, name.substr(2)) : nullptr;
    if (option == nullptr) return unexpected(argument);
    if (auto repeated = mark_seen(*option)) return repeated;
    if (option->kind == OptionKind::flag) return set_flag(*option, name, joined_value);
    return take_values(*option, joined_value);
  }

  // Single-valued options and flags may appear once; a list accumulates over occurrences.
  std::optional<Stop> mark_seen(const Option& option) {
    if (option.kind == OptionKind::path_list) return std::nullopt;
    const auto row = static_cast<std::size_t>(&option - command_.options.data());
    if (seen_[row])
      return Failure{"the argument " + quoted(option_signature(option)) +
                     " cannot be used more than once"};
    seen_[row] = true;
    return std::nullopt;
  }

  std::optional<Stop> set_flag(const Option& option, std::string_view name,
                               std::optional<std::string_view> joined_value) {
    if (joined_value) return value_given_to_flag(name, *joined_value);
    args_.*std::get<bool BuildCertificateArgs::*>(option.field) = true;
    return std::nullopt;
  }

  // One value (joined or the next argument); a list keeps taking arguments up to the next option
  // or "--".
  std::optional<Stop> take_values(const Option& option,
                                  std::optional<std::string_view> joined_value) {
    const auto first = joined_value ? joined_value : next_value();
    if (!first) return missing_value(option);
    if (auto invalid = store(option, *first)) return invalid;
    if (option.kind != OptionKind::path_list) return std::nullopt;
    while (const auto more = next_value())
      if (auto invalid = store(option, *more)) return invalid;
    return std::nullopt;
  }

  std::optional<std::string_view> next_value() {
    if (next_ == arguments_.size() || looks_like_option(arguments_[next_])) return std::nullopt;
    return arguments_[next_++];
  }

  std::optional<Stop> store(const Option& option, std::string_view value) {
    if (option.kind == OptionKind::text && !is_valid_utf8(value))
      return Failure{"invalid UTF-8 in the value of " + quoted(option_signature(option))};
    std::visit(
        [&](auto field) {
          auto& target = args_.*field;
          using Target = std::remove_reference_t<decltype(target)>;
          if constexpr (std::is_same_v<Target, std::vector<std::string>>)
            target.emplace_back(value);
          else if constexpr (std::is_same_v<Target, bool>)
            target = true;
          else
            target = std::string(value);
        },
        option.field);
    return std::nullopt;
  }

  Failure missing_value(const Option& option) const {
    std::string message =
        "a value is required for " + quoted(option_signature(option)) + " but none was supplied";
    if (next_ < arguments_.size())
      message += "; a value that begins with '-' must be joined: '--" + std::string(option.name) +
                 "=<" + std::string(option.value_name) + ">'";
    return {message};
  }

  Failure missing_positional() const {
    std::string message = "the required argument '<" + std::string(command_.positional.value_name) +
                          ">' was not provided";
    if (!args_.business_docs.empty())
      message +=
          " (--business-docs takes every following argument up to the next option; give "
          "<RUN_DIR> before it, or after '--')";
    return {message};
  }

  const Subcommand& command_;
  std::span<const std::string_view> arguments_;
  std::size_t next_ = 0;
  BuildCertificateArgs args_;
  std::vector<bool> seen_;  // one per option row
  bool have_positional_ = false;
  bool options_ended_ = false;
};

CommandLine parse_subcommand(std::string_view program, const Subcommand& command,
                             std::span<const std::string_view> arguments) {
  auto parsed = SubcommandParser(command, arguments).parse();
  if (auto* args = std::get_if<BuildCertificateArgs>(&parsed)) return std::move(*args);
  const Stop& stop = std::get<Stop>(parsed);
  if (std::holds_alternative<HelpRequested>(stop))
    return HelpText{subcommand_help(program, command)};
  return UsageError{
      usage_error(std::get<Failure>(stop).message, subcommand_usage(program, command))};
}

UsageError top_level_error(std::string_view program, const Failure& failure) {
  return {usage_error(failure.message, top_level_usage(program))};
}

Failure unrecognised_subcommand(std::string_view name) {
  return {"unrecognised subcommand " + quoted(name)};
}

// `help` alone prints the top-level help; `help <COMMAND>` prints that command's help.
CommandLine parse_help(std::string_view program, std::span<const std::string_view> arguments) {
  const Subcommand& command = build_certificate_command();
  if (arguments.size() > 1) return top_level_error(program, unexpected(arguments[1]));
  if (arguments.empty() || arguments.front() == "help") return HelpText{top_level_help(program)};
  if (arguments.front() == command.name) return HelpText{subcommand_help(program, command)};
  return top_level_error(program, unrecognised_subcommand(arguments.front()));
}

CommandLine parse_subcommand_name(std::string_view program,
                                  std::span<const std::string_view> arguments) {
  const Subcommand& command = build_certificate_command();
  const std::string_view name = arguments.front();
  if (name == command.name) return parse_subcommand(program, command, arguments.subspan(1));
  if (name == "help") return parse_help(program, arguments.subspan(1));
  return top_level_error(program, unrecognised_subcommand(name));
}

// The top level takes -h/--help, -V/--version and then one subcommand name.
CommandLine parse_top_level(std::string_view program, std::span<const std::string_view> arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const auto [name, joined_value] = split_joined(arguments[i]);
    const bool is_version = name == "-V" || name == "--version";
    if ((is_help(name) || is_version) && joined_value)
      return top_level_error(program, value_given_to_flag(name, *joined_value));
    if (is_help(name)) return HelpText{top_level_help(program)};
    if (is_version) return VersionText{std::string(tool_name) + " " + CERTWRIGHT_VERSION + "\n"};
    if (arguments[i] == "--") {
      // Nothing after "--" can name a subcommand.
      if (i + 1 < arguments.size()) return top_level_error(program, unexpected(arguments[i + 1]));
      return top_level_error(program, {"the required argument '<COMMAND>' was not provided"});
    }
    if (looks_like_option(arguments[i])) return top_level_error(program, unexpected(arguments[i]));
    return parse_subcommand_name(program, arguments.subspan(i));
  }
  return top_level_error(program, {"the required argument '<COMMAND>' was not provided"});
}

void write_all(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

CommandLine parse_command_line(std::span<const std::string_view> argv) {
  const std::string program = program_name(argv);
  const auto arguments = argv.empty() ? argv : argv.subspan(1);
  if (arguments.empty()) return UsageError{top_level_help(program)};
  return parse_top_level(program, arguments);
}

int run_command_line(std::span<char*> argv) {
  const std::vector<std::string_view> arguments(argv.begin(), argv.end());
  CommandLine command_line = parse_command_line(arguments);
  if (auto* args = std::get_if<BuildCertificateArgs>(&command_line))
    return run_build_certificate(std::move(*args));
  if (const auto* help = std::get_if<HelpText>(&command_line)) {
    write_all(stdout, help->text);
    return 0;
  }
  if (const auto* version = std::get_if<VersionText>(&command_line)) {
    write_all(stdout, version->text);
    return 0;
  }
  write_all(stderr, std::get<UsageError>(command_line).text);
  return 2;
}

}  // namespace certwright
