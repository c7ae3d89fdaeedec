// Opening a directory below another without following any link or leaving it.
#pragma once

#include <expected>
#include <string_view>
#include <system_error>

#include "core/base/unique_fd.h"

namespace certwright {

// How the path is resolved: by the kernel's openat2 where it has it, or one component at a time.
enum class BeneathResolver { automatic, kernel, by_component };

// The directory that `relative` names below the directory open as `base_fd`, open for listing
// (O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC). Leading "/" are dropped, so every path is
// taken as relative; "." and empty components stay where they are; ".." goes up but never above
// `base_fd`. Fails with ELOOP when a component is a link (none is ever followed), with EXDEV when
// the path leads above `base_fd`, and otherwise with the error of the component that failed.
std::expected<UniqueFd, std::error_code> open_directory_beneath(
    int base_fd, std::string_view relative, BeneathResolver resolver = BeneathResolver::automatic);

}  // namespace certwright
