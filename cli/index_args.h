// The parsed options of `certwright-index` and its commands.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/option_table.h"
#include "cli/verify_args.h"

namespace certwright {

inline constexpr std::string_view index_tool_name = "certwright-index";

// The verifier's options, for `add`'s trust options, and the index's own. The positional
// arguments land where the verifier's do: `add`'s files in `certificate` and
// `more_certificates` (its list in `files_from`), the hash prefix of `show` and `export` in
// `certificate`; `query`'s
// `--artifact` files in `artifacts` and its `--format` in `format`.
struct IndexArgs : VerifyArgs {
  std::string command;  // "add", "query", "show", "export" or "check"
  std::optional<std::string> db;
  std::vector<std::string> digests;
  std::optional<std::string> run_id;
  std::optional<std::string> signer;
  std::optional<std::string> identity_provider;
  bool plain = false;
  std::optional<std::string> key;
  std::optional<std::string> kind;
  std::optional<std::string> status;
  std::optional<std::string> since;
  std::optional<std::string> until;
  std::vector<std::string> missing_stages;
  bool skipped = false;
  std::optional<std::string> stage;
  std::optional<std::string> limit;
  std::optional<std::string> out;
};

using IndexCommand = BasicCommand<IndexArgs>;

// The commands in the order the help lists them.
std::span<const IndexCommand* const> index_commands();

// The command named `name`, or nullptr.
const IndexCommand* find_index_command(std::string_view name);

// The top-level help of certwright-index: its commands and how to name the store.
std::string index_top_level_help(std::string_view program);

}  // namespace certwright
