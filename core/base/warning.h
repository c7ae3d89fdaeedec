// The one way collection code reports a problem and carries on.
#pragma once

#include <string_view>

namespace certwright {

// Writes "warning: " + message + "\n" to standard error as one write, the message shown as
// one line (control characters in names and paths escaped).
void warn(std::string_view message);

// A binding could not be resolved: warn(message + " (cert unbound)").
void warn_unbound(std::string_view message);

// Writes all of `text` to the descriptor, retrying short and interrupted writes; gives up
// silently when the descriptor fails (there is nowhere left to report that).
void write_fully(int fd, std::string_view text);

}  // namespace certwright
