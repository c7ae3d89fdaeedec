#include "cli/attest_args.h"

#include <string_view>

namespace certwright {

std::string bundle_path(const AttestArgs& args) {
  if (args.out) return *args.out;
  std::string_view stem = args.certificate;
  if (stem.ends_with(".json")) stem.remove_suffix(std::string_view(".json").size());
  return std::string(stem) + ".sigstore.json";
}

}  // namespace certwright
