#include "cli/command_line.h"

#include <cstdio>
#include <optional>
#include <type_traits>
#include <vector>

#include "cli/help_text.h"
#include "cli/option_table.h"
#include "core/base/text.h"

namespace certwright {
namespace {

struct HelpRequested {
  bool brief = false;  // "-h"
};
struct VersionRequested {};

// A rejected argument; the caller adds the usage line of the level it was found on.
struct Failure {
  std::string message;
};

using Stop = std::variant<HelpRequested, VersionRequested, Failure>;

// A lone "-" is an ordinary value (by convention standard input or output), never an option.
bool looks_like_option(std::string_view argument) {
  return argument.size() > 1 && argument.front() == '-';
}

bool is_help(std::string_view name) {
  return name == "-h" || name == "--help";
}

bool is_version(std::string_view name) {
  return name == "-V" || name == "--version";
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
std::string program_name(std::span<const std::string_view> argv, std::string_view fallback) {
  if (argv.empty()) return std::string(fallback);
  const std::string_view path = argv.front();
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name.empty() ? std::string(fallback) : single_line(name);
}

// Reads a command's arguments (those after the subcommand name, or after the program path),
// left to right; the first help or version request or rejected argument ends the parse.
template <class Args>
class CommandParser {
 public:
  using Option = BasicOption<Args>;

  CommandParser(const BasicCommand<Args>& command, std::span<const std::string_view> arguments)
      : command_(command), arguments_(arguments), seen_(command.options.size(), false) {}

  std::variant<Args, Stop> parse() {
    while (next_ < arguments_.size()) {
      const std::string_view argument = arguments_[next_++];
      const bool positional = options_ended_ || !looks_like_option(argument);
      if (auto stop = positional ? take_positional(argument) : take_option(argument))
        return *std::move(stop);
    }
    if (!have_positional_ && has_positional() &&
        !(command_.positional_optional && command_.positional_optional(args_)))
      return Stop(missing_positional());
    if (command_.check)
      if (auto message = command_.check(args_)) return Stop(Failure{*std::move(message)});
    return std::move(args_);
  }

 private:
  bool has_positional() const { return !command_.positional.value_name.empty(); }

  std::optional<Stop> take_positional(std::string_view argument) {
    if (!has_positional()) return unexpected(argument);
    if (have_positional_ && command_.positional.more != nullptr) {
      (args_.*command_.positional.more).emplace_back(argument);
      return std::nullopt;
    }
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
      return joined_value ? Stop(value_given_to_flag(name, *joined_value))
                          : Stop(HelpRequested{name == "-h"});
    if (command_.has_version && is_version(name))
      return joined_value ? Stop(value_given_to_flag(name, *joined_value)) : VersionRequested{};
    const Option* option = find(name);
    if (option == nullptr) return unexpected(argument);
    if (auto repeated = mark_seen(*option)) return repeated;
    if (option->kind == OptionKind::flag) return set_flag(*option, name, joined_value);
    return take_values(*option, joined_value);
  }

  // "--name" by its long name, "-x" by its short one.
  const Option* find(std::string_view name) const {
    if (name.starts_with("--")) return find_option(command_.options, name.substr(2));
    if (name.size() == 2) return find_short_option(command_.options, name[1]);
    return nullptr;
  }

  static bool is_repeatable(OptionKind kind) {
    return kind == OptionKind::path_list || kind == OptionKind::text_each ||
           kind == OptionKind::path_each;
  }

  // Single-valued options and flags may appear once; lists accumulate over occurrences.
  std::optional<Stop> mark_seen(const Option& option) {
    if (is_repeatable(option.kind)) return std::nullopt;
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
    args_.*std::get<bool Args::*>(option.field) = true;
    return std::nullopt;
  }

  // One value (joined or the next argument); a list keeps taking arguments up to the next option
  // or "--".
  std::optional<Stop> take_values(const Option& option,
                                  std::optional<std::string_view> joined_value) {
    const auto first = joined_value ? joined_value : next_value();
    if (!joined_value && option.kind == OptionKind::optional_text) return store(option, "");
    if (!first && option.kind == OptionKind::optional_path) return store(option, "");
    if (!first) return missing_value(option);
    if (first->empty() && option.empty_value == EmptyValue::refused)
      return Failure{"the value of " + quoted(option_signature(option)) + " is empty"};
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
    const bool is_text = option.kind == OptionKind::text || option.kind == OptionKind::text_each ||
                         option.kind == OptionKind::optional_text;
    if (is_text && !is_valid_utf8(value))
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
    const std::string positional = "<" + std::string(command_.positional.value_name) + ">";
    std::string message = "the required argument '" + positional + "' was not provided";
    for (const Option& option : command_.options) {
      const auto* list = std::get_if<std::vector<std::string> Args::*>(&option.field);
      if (option.kind == OptionKind::path_list && !(args_.**list).empty()) {
        message += " (--" + std::string(option.name) +
                   " takes every following argument up to the next option; give " + positional +
                   " before it, or after '--')";
        break;
      }
    }
    return {message};
  }

  const BasicCommand<Args>& command_;
  std::span<const std::string_view> arguments_;
  std::size_t next_ = 0;
  Args args_;
  std::vector<bool> seen_;  // one per option row
  bool have_positional_ = false;
  bool options_ended_ = false;
};

VersionText version_text(std::string_view name) {
  return VersionText{std::string(name) + " " + CERTWRIGHT_VERSION + "\n"};
}

template <class Args>
std::variant<Args, HelpText, VersionText, UsageError> parse_command(
    std::string_view program, const BasicCommand<Args>& command,
    std::span<const std::string_view> arguments) {
  auto parsed = CommandParser<Args>(command, arguments).parse();
  if (auto* args = std::get_if<Args>(&parsed)) return std::move(*args);
  const Stop& stop = std::get<Stop>(parsed);
  if (const auto* help = std::get_if<HelpRequested>(&stop))
    return HelpText{
        command_help(program, command, help->brief ? HelpLength::brief : HelpLength::whole)};
  if (std::holds_alternative<VersionRequested>(stop)) return version_text(command.name);
  return UsageError{usage_error(std::get<Failure>(stop).message, command_usage(program, command))};
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
  if (name == command.name) return parse_command(program, command, arguments.subspan(1));
  if (name == "help") return parse_help(program, arguments.subspan(1));
  return top_level_error(program, unrecognised_subcommand(name));
}

// The top level takes -h/--help or -V/--version, or else one subcommand name and its arguments;
// the first argument decides which.
CommandLine parse_top_level(std::string_view program, std::span<const std::string_view> arguments) {
  const std::string_view first = arguments.front();
  const auto [name, joined_value] = split_joined(first);
  if ((is_help(name) || is_version(name)) && joined_value)
    return top_level_error(program, value_given_to_flag(name, *joined_value));
  if (is_help(name)) return HelpText{top_level_help(program)};
  if (is_version(name)) return version_text(tool_name);
  if (first == "--") {
    // Nothing after "--" can name a subcommand.
    if (arguments.size() > 1) return top_level_error(program, unexpected(arguments[1]));
    return top_level_error(program, {"the required argument '<COMMAND>' was not provided"});
  }
  if (looks_like_option(first)) return top_level_error(program, unexpected(first));
  return parse_subcommand_name(program, arguments);
}

template <class Args>
std::variant<Args, HelpText, VersionText, UsageError> parse_program(
    std::span<const std::string_view> argv, const BasicCommand<Args>& command) {
  const std::string program = program_name(argv, command.name);
  return parse_command(program, command, argv.empty() ? argv : argv.subspan(1));
}

void write_all(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

int print_stop(const HelpText& help) {
  write_all(stdout, help.text);
  return 0;
}

int print_stop(const VersionText& version) {
  write_all(stdout, version.text);
  return 0;
}

int print_stop(const UsageError& error) {
  write_all(stderr, error.text);
  return 2;
}

CommandLine parse_command_line(std::span<const std::string_view> argv) {
  const std::string program = program_name(argv, tool_name);
  const auto arguments = argv.empty() ? argv : argv.subspan(1);
  if (arguments.empty()) return UsageError{top_level_help(program)};
  return parse_top_level(program, arguments);
}

VerifyCommandLine parse_verify_command_line(std::span<const std::string_view> argv) {
  return parse_program(argv, verify_command());
}

KeygenCommandLine parse_keygen_command_line(std::span<const std::string_view> argv) {
  return parse_program(argv, keygen_command());
}

AttestCommandLine parse_attest_command_line(std::span<const std::string_view> argv) {
  return parse_program(argv, attest_command());
}

CountersignCommandLine parse_countersign_command_line(std::span<const std::string_view> argv) {
  return parse_program(argv, countersign_command());
}

IndexCommandLine parse_index_command(std::string_view program, const IndexCommand& command,
                                     std::span<const std::string_view> arguments) {
  return parse_command(program, command, arguments);
}

}  // namespace certwright
