// The parsed options of `certwright-keygen`.
#pragma once

#include <optional>
#include <string>

namespace certwright {

// Paths are native byte strings, unconverted.
struct KeygenArgs {
  std::optional<std::string> out;
  // Given: print a public key; the empty text means the key the emitter would resolve.
  std::optional<std::string> public_key_of;
  std::optional<std::string> format;  // of --public: "base64" (the default) or "pem"
};

// The usage error in options that parse one by one but not together, or none.
std::optional<std::string> check_keygen_args(const KeygenArgs& args);

}  // namespace certwright
