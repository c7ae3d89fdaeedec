#include "core/certificate_assembly.h"

namespace certwright {

UnsealedCertificate::UnsealedCertificate(const RunInputs& inputs, std::string requirements_hash)
    : pipeline_run_id_(inputs.pipeline_run_id),
      requirements_hash_(std::move(requirements_hash)),
      build_spec_hash_(inputs.build_spec_hash.value_or("")) {}

std::expected<GovernanceCertificate, Error> finalise_certificate(UnsealedCertificate) {
  return std::unexpected(Error{"not implemented"});
}
std::expected<GovernanceCertificate, Error> seal_signed_certificate(UnsealedCertificate unsealed) {
  return finalise_certificate(std::move(unsealed));
}
std::expected<GovernanceCertificate, Error> build_plain_certificate(const std::string&,
                                                                    const RunInputs& inputs,
                                                                    const std::string& hash,
                                                                    const StageList&) {
  return finalise_certificate(UnsealedCertificate(inputs, hash));
}
std::expected<GovernanceCertificate, Error> assemble_certificate(AssemblyInputs inputs) {
  return build_plain_certificate(inputs.run_dir, inputs.run, inputs.requirements_hash, {});
}

}  // namespace certwright
