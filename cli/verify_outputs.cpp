#include "cli/verify_outputs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <optional>

#include "cli/report_html.h"
#include "cli/report_junit.h"
#include "cli/report_markdown.h"
#include "core/base/text.h"
#include "core/base/warning.h"
#include "core/seal/certificate_file.h"

namespace certwright {
namespace {

std::string host_name() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return "localhost";
  return lossy_utf8(name.data());
}

}  // namespace

std::expected<void, Error> check_output_paths(const VerifyArgs& args) {
  const std::array<std::pair<std::string_view, const std::optional<std::string>*>, 5> outputs{{
      {"--report", &args.report},
      {"--junit", &args.junit},
      {"--markdown", &args.markdown},
      {"--html", &args.html},
      {"--vsa", &args.vsa},
  }};
  for (const auto& [option, path] : outputs) {
    if (!*path) continue;
    struct stat status {};
    if (::lstat((*path)->c_str(), &status) != 0) continue;  // created when written
    const char* refused = S_ISLNK(status.st_mode)    ? "is a symbolic link"
                          : S_ISDIR(status.st_mode)  ? "is a directory"
                          : S_ISFIFO(status.st_mode) ? "is a FIFO"
                          : !S_ISREG(status.st_mode) ? "is not a regular file"
                                                     : nullptr;
    if (refused)
      return std::unexpected(
          Error{std::string(option) + " " + lossy_utf8(**path) + ": " + refused + ", not written"});
  }
  return {};
}

std::vector<OutputFile> render_outputs(const VerifyArgs& args, const RunVerdict& verdict) {
  std::vector<OutputFile> outputs;
  if (args.junit) outputs.push_back({"--junit", *args.junit, junit_document(verdict, host_name())});
  if (args.markdown) outputs.push_back({"--markdown", *args.markdown, markdown_document(verdict)});
  if (args.html) outputs.push_back({"--html", *args.html, html_document(verdict)});
  return outputs;
}

std::expected<void, Error> write_outputs(const std::vector<OutputFile>& outputs) {
  for (const OutputFile& output : outputs) {
    const auto written = write_file_atomically(output.path, output.bytes);
    if (!written)
      return std::unexpected(
          Error{output.option + " " + lossy_utf8(output.path) + ": " + written.error().message()});
    if (const std::error_code error = written->directory_sync_error)
      warn(output.option + " written to " + lossy_utf8(output.path) +
           " but its directory could not be synced: " + error.message());
  }
  return {};
}

}  // namespace certwright
