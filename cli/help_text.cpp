#include "cli/help_text.h"
#include "cli/index_args.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace certwright {
namespace {

// Help texts are printed whole, never wrapped, so each goes on its own line under its option.
constexpr std::string_view entry_indent = "  ";
constexpr std::string_view long_only_indent = "      ";
constexpr std::string_view help_indent = "          ";

constexpr std::string_view help_subcommand_about =
    "Print this message or the help of the given subcommand";

void append_entry(std::string& out, std::string_view indent, std::string_view signature,
                  std::string_view help) {
  out.append(indent).append(signature).append("\n");
  out.append(help_indent).append(help).append("\n");
}

// The default of a text or path that is never absent, read from a fresh record so that the
// record's initialiser stays its only source.
template <class Args>
std::string default_of(const BasicOption<Args>& option) {
  const auto* field = std::get_if<std::string Args::*>(&option.field);
  return field == nullptr ? std::string() : Args{}.**field;
}

// The first sentence of a help text, for the brief help.
std::string_view first_sentence(std::string_view help) {
  const std::size_t end = help.find(". ");
  return end == std::string_view::npos ? help : help.substr(0, end);
}

template <class Args>
void append_option(std::string& out, const BasicOption<Args>& option, HelpLength length) {
  const std::string_view help =
      length == HelpLength::brief ? first_sentence(option.help) : option.help;
  if (option.short_name != '\0') {
    const std::string signature =
        std::string("-") + option.short_name + ", " + option_signature(option);
    append_entry(out, entry_indent, signature, help);
  } else {
    append_entry(out, long_only_indent, option_signature(option), help);
  }
  if (const std::string value = default_of(option); !value.empty() && length == HelpLength::whole)
    out.append("\n").append(help_indent).append("[default: ").append(value).append("]\n");
  if (length == HelpLength::whole) out.append("\n");
}

// The heading of the group that `option` starts, if it starts one.
template <class Args>
std::string_view group_heading(const BasicCommand<Args>& command, const BasicOption<Args>& option) {
  for (const OptionGroup& group : command.groups)
    if (group.first_option == option.name) return group.heading;
  return {};
}

// "  name  about" rows with the about texts lined up after the longest name.
void append_table(std::string& out,
                  std::initializer_list<std::pair<std::string_view, std::string_view>> rows) {
  std::size_t width = 0;
  for (const auto& [name, about] : rows)
    width = std::max(width, name.size());
  for (const auto& [name, about] : rows) {
    out.append(entry_indent).append(name).append(width - name.size() + 2, ' ');
    out.append(about).append("\n");
  }
}

// A program of its own is named by its program path; a subcommand follows the program.
template <class Args>
bool is_program(const BasicCommand<Args>& command) {
  return command.has_version;
}

}  // namespace

std::string option_signature(std::string_view name, std::string_view value_name, OptionKind kind) {
  std::string signature = "--" + std::string(name);
  if (kind == OptionKind::optional_path)
    signature.append(" [<").append(value_name).append(">]");
  else if (kind == OptionKind::optional_text)
    signature.append("[=<").append(value_name).append(">]");
  else if (kind != OptionKind::flag)
    signature.append(" <").append(value_name).append(">");
  if (kind == OptionKind::path_list) signature.append("...");
  return signature;
}

std::string top_level_usage(std::string_view program) {
  return "Usage: " + std::string(program) + " <COMMAND>";
}

template <class Args>
std::string command_usage(std::string_view program, const BasicCommand<Args>& command) {
  std::string usage = "Usage: " + std::string(program);
  if (!is_program(command)) usage.append(" ").append(command.name);
  if (!command.options.empty()) usage.append(" [OPTIONS]");
  if (!command.positional.value_name.empty())
    usage.append(" <").append(command.positional.value_name).append(">");
  if (command.positional.more != nullptr) usage.append("...");
  return usage;
}

std::string top_level_help(std::string_view program) {
  const Subcommand& command = build_certificate_command();
  std::string out(tool_about);
  out.append("\n\n").append(top_level_usage(program)).append("\n\nCommands:\n");
  append_table(out, {{command.name, command.about}, {"help", help_subcommand_about}});
  out.append("\nOptions:\n");
  append_table(out, {{"-h, --help", "Print help"}, {"-V, --version", "Print version"}});
  return out;
}

template <class Args>
std::string command_help(std::string_view program, const BasicCommand<Args>& command,
                         HelpLength length) {
  if (command.groups.empty()) length = HelpLength::whole;  // brief help needs the groups
  std::string out(command.about);
  out.append("\n\n").append(command_usage(program, command)).append("\n\n");
  if (!command.positional.value_name.empty()) {
    out.append("Arguments:\n");
    std::string positional("<");  // appended: GCC 12 -O3 misreads `"<" + ...` as overlapping
    positional.append(command.positional.value_name).append(">");
    append_entry(out, entry_indent, positional, command.positional.help);
    out.append("\n");
  }
  if (command.groups.empty()) out.append("Options:\n");
  for (const BasicOption<Args>& option : command.options) {
    if (const std::string_view heading = group_heading(command, option); !heading.empty()) {
      if (length == HelpLength::brief && &option != command.options.data()) out.append("\n");
      out.append(heading).append(":\n");
    }
    append_option(out, option, length);
  }
  if (!command.groups.empty())
    out.append(length == HelpLength::brief ? "\n" : "").append("Help:\n");
  append_entry(out, entry_indent, "-h, --help",
               command.groups.empty() ? "Print help" : "Print help (-h: in brief; --help: whole)");
  if (command.has_version) append_entry(out, entry_indent, "-V, --version", "Print version");
  if (length == HelpLength::whole && !command.after_help.empty())
    out.append("\n").append(command.after_help);
  return out;
}

template std::string command_usage(std::string_view, const BasicCommand<BuildCertificateArgs>&);
template std::string command_usage(std::string_view, const BasicCommand<VerifyArgs>&);
template std::string command_usage(std::string_view, const BasicCommand<KeygenArgs>&);
template std::string command_usage(std::string_view, const BasicCommand<AttestArgs>&);
template std::string command_usage(std::string_view, const BasicCommand<CountersignArgs>&);
template std::string command_help(std::string_view, const BasicCommand<BuildCertificateArgs>&,
                                  HelpLength);
template std::string command_help(std::string_view, const BasicCommand<VerifyArgs>&, HelpLength);
template std::string command_help(std::string_view, const BasicCommand<AttestArgs>&, HelpLength);
template std::string command_help(std::string_view, const BasicCommand<KeygenArgs>&, HelpLength);
template std::string command_help(std::string_view, const BasicCommand<CountersignArgs>&,
                                  HelpLength);
template std::string command_usage(std::string_view, const BasicCommand<IndexArgs>&);
template std::string command_help(std::string_view, const BasicCommand<IndexArgs>&, HelpLength);

std::string subcommand_usage(std::string_view program, const Subcommand& command) {
  return command_usage(program, command);
}

std::string subcommand_help(std::string_view program, const Subcommand& command) {
  return command_help(program, command);
}

}  // namespace certwright
