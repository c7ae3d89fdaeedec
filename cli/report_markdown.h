// The verdict as a Markdown summary, for a CI job page or a merge request.
#pragma once

#include <string>
#include <string_view>

#include "cli/run_verdict.h"

namespace certwright {

// Appends text for Markdown: shown as single_line shows it, with every ASCII punctuation
// character backslash-escaped, so that no text can open a table cell, code span, link, HTML tag,
// mention or emphasis, or break its line.
void append_markdown(std::string& out, std::string_view text);

// The run's verdict and policy, then per certificate its verdict, a table of facts, a table of
// checks with the failed ones first and a table of stages.
std::string markdown_document(const RunVerdict& verdict);

}  // namespace certwright
