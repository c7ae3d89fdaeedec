// The process environment read as text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace certwright {

// The value of the environment variable `name` when it is set and valid UTF-8; none when it is
// unset or its bytes are not text, so such a variable counts as not given at all. The view is
// of the environment itself (no copy is made, which matters for secrets) and stays valid while
// the environment is not changed.
std::optional<std::string_view> unicode_variable(const char* name);

}  // namespace certwright
