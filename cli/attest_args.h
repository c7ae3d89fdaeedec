// The parsed options of `certwright-attest`.
#pragma once

#include <optional>
#include <string>

namespace certwright {

// Paths are native byte strings, unconverted.
struct AttestArgs {
  std::string certificate;
  std::optional<std::string> out;           // the bundle; default beside the certificate
  std::optional<std::string> envelope_out;  // the bare envelope, when asked for
};

// The bundle's path: `out`, or else the certificate's path with ".json" replaced by (or, when
// it does not end so, followed by) ".sigstore.json".
std::string bundle_path(const AttestArgs& args);

}  // namespace certwright
