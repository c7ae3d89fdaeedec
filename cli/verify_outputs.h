// The files certwright-verify writes beside its report on standard output: the JSON report,
// JUnit, Markdown, HTML and the signed verification summary.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "cli/run_verdict.h"
#include "cli/verify_args.h"
#include "core/base/error.h"

namespace certwright {

// Refuses, before anything is verified, an output path that names a symbolic link, a FIFO, a
// directory or anything else but a regular file (a missing file is fine); the error names the
// option and the path.
std::expected<void, Error> check_output_paths(const VerifyArgs& args);

// One output of the run: the option that asked for it, its path and its bytes.
struct OutputFile {
  std::string option;
  std::string path;
  std::string bytes;
};

// The JUnit, Markdown and HTML outputs the options ask for, rendered.
std::vector<OutputFile> render_outputs(const VerifyArgs& args, const RunVerdict& verdict);

// Writes each output atomically, in turn (each file is either whole or untouched); the first
// failure is the error, naming the option and path, and the outputs after it are not written.
std::expected<void, Error> write_outputs(const std::vector<OutputFile>& outputs);

}  // namespace certwright
