// What one plain emission spends in each of its phases, and the read engine alone.
//
// usage: phases RUN_DIR OUT   one emission over the default stages with the operator key of
//                             ZEM_SIGNING_KEY, written to OUT; one line per phase on stdout:
//                             "phase wall-ms cpu-ms minor-faults"
//        phases --engine RUN_DIR
//                             the read engine alone (CERTWRIGHT_IO chooses it): every default
//                             stage listed and its files hashed, "stage/name hash" per file,
//                             as bench/reference.c prints them
//
// The emission runs the steps the tool runs, in its order: the walk, then the certificate hash,
// the signature and the file, each split into its encoding and the rest through the calls the
// tool makes. Only then, so that its pages and timings do not disturb the emission's, comes the
// engine's walk of the same stages alone; bench/run shows the walk less it as the work of the
// artifact lists, the sort and the stage maps.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "core/base/base64.h"
#include "core/base/content_hash.h"
#include "core/base/memory_pages.h"
#include "core/base/unique_fd.h"
#include "core/evidence/artifact_reader.h"
#include "core/evidence/stage_walk.h"
#include "core/record/certificate.h"
#include "core/record/certificate_encoding.h"
#include "core/seal/certificate_file.h"
#include "core/seal/certificate_signature.h"
#include "core/seal/signing_key.h"

namespace certwright {
namespace {

double seconds(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long minor_faults() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Prints one phase's wall and CPU time and minor page faults as it ends.
class Phase {
 public:
  explicit Phase(const char* name)
      : name_(name),
        wall_(seconds(CLOCK_MONOTONIC)),
        cpu_(seconds(CLOCK_PROCESS_CPUTIME_ID)),
        faults_(minor_faults()) {}
  ~Phase() {
    std::printf("%s %.3f %.3f %ld\n", name_, (seconds(CLOCK_MONOTONIC) - wall_) * 1e3,
                (seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_) * 1e3, minor_faults() - faults_);
  }
  Phase(const Phase&) = delete;
  Phase& operator=(const Phase&) = delete;

 private:
  const char* name_;
  double wall_;
  double cpu_;
  long faults_;
};

// Lists each default stage of `run_dir` (regular files by the listing's type, DT_UNKNOWN asked
// without following links) and has the engine hash them; `print` writes the reference's lines.
void engine_walk(const std::string& run_dir, bool print) {
  const auto reader = ArtifactReader::create();
  std::vector<std::string> names;
  std::vector<const char*> raw;
  for (const std::string& stage : default_stage_list()) {
    const std::string path = run_dir + "/" + stage;
    const UniqueFd stage_fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!stage_fd) continue;
    const UniqueDir dir(::fdopendir(::fcntl(stage_fd.get(), F_DUPFD_CLOEXEC, 0)));
    names.clear();
    while (const dirent* entry = dir ? ::readdir(dir.get()) : nullptr) {
      const auto type = entry_type(stage_fd.get(), *entry);
      if (type && *type == DT_REG) names.emplace_back(entry->d_name);
    }
    raw.clear();
    for (const std::string& name : names)
      raw.push_back(name.c_str());
    reader->hash_files(stage_fd.get(), raw, [&](std::size_t index, const ArtifactHash& hash) {
      if (print && hash) std::printf("%s/%s %.64s\n", stage.c_str(), raw[index], hash->data());
    });
  }
}

int emission(const std::string& run_dir, const std::string& out) {
  use_huge_page_heap();  // as the tool's driver does
  std::printf("start 0 0 %ld\n", minor_faults());
  GovernanceCertificate certificate;
  {
    const Phase phase("walk");
    auto stages = collect_stages(run_dir, default_stage_list());
    release_free_memory();  // as assembly does after the walk
    if (!stages) {
      std::fprintf(stderr, "phases: %s\n", stages.error().message.c_str());
      return 2;
    }
    certificate.stages = std::move(*stages);
  }
  auto key = resolve_signing_key();
  if (!key) {
    std::fprintf(stderr, "phases: %s\n", key.error().message.c_str());
    return 2;
  }
  certificate.status = CertificateStatus::complete;
  certificate.signing_public_key = encode_public_key(key->key);
  certificate.certificate_version = kCurrentCertificateVersion;
  certificate.timestamp = utc_now();
  certificate.pipeline_run_id = "bench";
  certificate.signing_attestation = SigningAttestation{key->kind, key->note};
  // The seal and the file, step by step as compute_certificate_hash, sign_certificate and
  // write_certificate take them.
  std::string view;
  {
    const Phase phase("encode-hash-view");
    view = encode_compact(certificate, CertificateView::hash);
  }
  {
    const Phase phase("sha256-hash-view");
    certificate.certificate_hash = hash_bytes(view);
    recycle_encoding(std::move(view));
  }
  {
    const Phase phase("encode-signing-view");
    view = encode_compact(certificate, CertificateView::signing);
  }
  {
    const Phase phase("ed25519");
    certificate.cert_signature = base64_encode(key->key.sign(view));
    recycle_encoding(std::move(view));
  }
  {
    const Phase phase("encode-file");
    view = encode_pretty(certificate);
  }
  {
    const Phase phase("write-file");
    if (!write_file_atomically(out, view)) {
      std::fprintf(stderr, "phases: cannot write %s\n", out.c_str());
      return 2;
    }
  }
  std::printf("emission 0 0 %ld\n", minor_faults());
  {
    const Phase phase("engine");
    engine_walk(run_dir, false);
  }
  return 0;
}

}  // namespace
}  // namespace certwright

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "--engine") {
    certwright::engine_walk(args[1], true);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (args.size() == 2 && args[0] != "--engine") return certwright::emission(args[0], args[1]);
  std::fprintf(stderr, "usage: phases RUN_DIR OUT | phases --engine RUN_DIR\n");
  return 2;
}
