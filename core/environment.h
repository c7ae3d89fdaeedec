// The process environment read as text.
#pragma once

#include <optional>
#include <string>

namespace certwright {

// The value of the environment variable `name` when it is set and valid UTF-8; none when it is
// unset or its bytes are not text, so such a variable counts as not given at all.
std::optional<std::string> unicode_variable(const char* name);

}  // namespace certwright
