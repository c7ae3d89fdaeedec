// The produced application's BOM and audit file bound into a certificate by hash.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/record/certificate.h"

namespace certwright {

// The binding of `.factory/sbom.cdx.json` and `.factory/audit.json` under the directory named
// by `option`, else by ZEM_SBOM_DIR; none, silently, with neither, and none after a warning
// when a file cannot be read (a BOM past 256 MiB is "File too large"; the audit file is
// streamed, whatever its size).
std::optional<SbomArtifactBinding> resolve_sbom_binding(const std::optional<std::string>& option);

// The version of the BOM's generating tool from "metadata"."tools", or "unknown".
std::string bom_tool_version(std::string_view bom);

}  // namespace certwright
