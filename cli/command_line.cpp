#include "cli/command_line.h"

#include "cli/driver.h"

namespace certwright {

int run_command_line(std::span<char*> argv) {
  if (argv.size() < 3)
    return 2;
  BuildCertificateArgs args;
  args.run_dir = argv[2];
  return run_build_certificate(std::move(args));
}

}  // namespace certwright
