#include "cli/help_text.h"

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
std::string default_of(const Option& option) {
  const auto* field = std::get_if<std::string BuildCertificateArgs::*>(&option.field);
  return field == nullptr ? std::string() : BuildCertificateArgs{}.**field;
}

void append_option(std::string& out, const Option& option) {
  append_entry(out, long_only_indent, option_signature(option), option.help);
  if (const std::string value = default_of(option); !value.empty())
    out.append("\n").append(help_indent).append("[default: ").append(value).append("]\n");
  out.append("\n");
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

}  // namespace

std::string option_signature(const Option& option) {
  std::string signature = "--" + std::string(option.name);
  if (option.kind != OptionKind::flag) signature.append(" <").append(option.value_name).append(">");
  if (option.kind == OptionKind::path_list) signature.append("...");
  return signature;
}

std::string top_level_usage(std::string_view program) {
  return "Usage: " + std::string(program) + " <COMMAND>";
}

std::string subcommand_usage(std::string_view program, const Subcommand& command) {
  std::string usage = "Usage: " + std::string(program) + " " + std::string(command.name);
  if (!command.options.empty()) usage.append(" [OPTIONS]");
  return usage.append(" <").append(command.positional.value_name).append(">");
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

std::string subcommand_help(std::string_view program, const Subcommand& command) {
  std::string out(command.about);
  out.append("\n\n").append(subcommand_usage(program, command)).append("\n\nArguments:\n");
  std::string positional("<");  // appended: GCC 12 -O3 misreads `"<" + ...` as overlapping
  positional.append(command.positional.value_name).append(">");
  append_entry(out, entry_indent, positional, command.positional.help);
  out.append("\nOptions:\n");
  for (const Option& option : command.options)
    append_option(out, option);
  append_entry(out, entry_indent, "-h, --help", "Print help");
  return out;
}

}  // namespace certwright
