#include "cli/countersign_args.h"

namespace certwright {

std::optional<std::string> check_countersign_args(const CountersignArgs& args) {
  if (args.certificate == "-")
    return "the certificate is written back: name its file (standard input cannot be "
           "countersigned in place)";
  return check_verify_args(args);
}

}  // namespace certwright
