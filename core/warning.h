// The one way collection code reports a problem and carries on.
#pragma once

#include <string_view>

namespace certwright {

// Writes "warning: " + message + "\n" to standard error as one write.
void warn(std::string_view message);

}  // namespace certwright
