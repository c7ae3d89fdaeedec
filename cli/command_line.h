// The command line: parsing, help, version and usage errors.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "cli/attest_args.h"
#include "cli/build_certificate_args.h"
#include "cli/countersign_args.h"
#include "cli/index_args.h"
#include "cli/keygen_args.h"
#include "cli/verify_args.h"

namespace certwright {

// A help text for standard output; the process exits 0.
struct HelpText {
  std::string text;
};

// The version line for standard output; the process exits 0.
struct VersionText {
  std::string text;
};

// The whole text for standard error; the process exits 2. An "error: " line naming the argument,
// the usage line and a "--help" hint, or the top-level help when there were no arguments at all.
struct UsageError {
  std::string text;
};

using CommandLine = std::variant<BuildCertificateArgs, HelpText, VersionText, UsageError>;
using VerifyCommandLine = std::variant<VerifyArgs, HelpText, VersionText, UsageError>;
using KeygenCommandLine = std::variant<KeygenArgs, HelpText, VersionText, UsageError>;
using AttestCommandLine = std::variant<AttestArgs, HelpText, VersionText, UsageError>;
using CountersignCommandLine = std::variant<CountersignArgs, HelpText, VersionText, UsageError>;
using IndexCommandLine = std::variant<IndexArgs, HelpText, VersionText, UsageError>;

// Parses `argv` (argv[0] is the program path) without printing anything; every invocation that is
// not a well-formed `build-certificate`, help or version request comes back as a UsageError.
CommandLine parse_command_line(std::span<const std::string_view> argv);
// The same for `certwright-verify` and `certwright-keygen`, programs without subcommands.
VerifyCommandLine parse_verify_command_line(std::span<const std::string_view> argv);
KeygenCommandLine parse_keygen_command_line(std::span<const std::string_view> argv);
AttestCommandLine parse_attest_command_line(std::span<const std::string_view> argv);
CountersignCommandLine parse_countersign_command_line(std::span<const std::string_view> argv);
// The arguments after the name of one of certwright-index's commands, as `program command`.
IndexCommandLine parse_index_command(std::string_view program, const IndexCommand& command,
                                     std::span<const std::string_view> arguments);

// Parses `argv`, prints help, version or a usage error itself, or runs the program's driver;
// returns the process exit code (0 help/version, 2 usage error, otherwise the driver's code).
// Each is defined beside its program's driver, so that a program holds its own driver alone
// (and only certwright-attest links the HTTP client).
int run_command_line(std::span<char*> argv);
int run_verify_command_line(std::span<char*> argv);
int run_keygen_command_line(std::span<char*> argv);
int run_attest_command_line(std::span<char*> argv);
int run_countersign_command_line(std::span<char*> argv);

// What a command line that gave no arguments prints: help and version to standard output
// (exit code 0), a usage error to standard error (2).
int print_stop(const HelpText& help);
int print_stop(const VersionText& version);
int print_stop(const UsageError& error);

// Prints help, version or a usage error and gives the exit code, or runs `driver`.
template <class Args, class Driver>
int run_parsed(std::variant<Args, HelpText, VersionText, UsageError> command_line, Driver driver) {
  if (auto* args = std::get_if<Args>(&command_line)) return driver(std::move(*args));
  return std::visit(
      [](const auto& stop) {
        if constexpr (std::is_same_v<std::decay_t<decltype(stop)>, Args>)
          return 2;  // not reached: the arguments ran the driver
        else
          return print_stop(stop);
      },
      command_line);
}

}  // namespace certwright
