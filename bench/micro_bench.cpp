// Micro-benchmarks of the hot units: file hashing, both read engines by file size, the encoders,
// the strict reader, the certificate hash and the signature on a 120,000-artifact certificate,
// the encoder and the reader on a certificate of many small records, the BOM tool version
// against a bare DOM parse of the same bytes, the corpus attestation parse and the posture
// projection.
//
// usage: certwright_bench --bom=PATH [--smoke] [Google Benchmark flags]
// --smoke shrinks the generated inputs so that one pass takes a moment.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <simdjson.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/content_hash.h"
#include "core/base/unique_fd.h"
#include "core/evidence/artifact_reader.h"
#include "core/evidence/build_spec.h"
#include "core/evidence/corpus_attestation.h"
#include "core/evidence/sbom_binding.h"
#include "core/record/certificate.h"
#include "core/record/certificate_encoding.h"
#include "core/record/certificate_reader.h"
#include "core/seal/certificate_signature.h"
#include "core/seal/signing_key.h"

namespace certwright {
namespace {

struct Options {
  std::string bom_path;
  bool smoke = false;
};

Options& options() {
  static Options instance;
  return instance;
}

std::size_t artifact_count() {
  return options().smoke ? 600 : 120'000;
}

// The certificate's own members, with a hash, key and signature of their real lengths.
GovernanceCertificate certificate_without_records() {
  GovernanceCertificate certificate;
  certificate.certificate_version = "1.5.0";
  certificate.pipeline_run_id = "bench-run";
  certificate.signing_public_key = std::string(44, 'k');
  certificate.certificate_hash = std::string(64, 'a');
  certificate.cert_signature = std::string(88, 's');
  return certificate;
}

// Six stages sharing the artifacts, named and hashed as a real walk would record them.
GovernanceCertificate large_certificate() {
  GovernanceCertificate certificate = certificate_without_records();
  for (int stage = 0; stage < 6; ++stage) {
    StageRecord record;
    record.stage_id = "s" + std::to_string(stage) + "-stage";
    record.status = CheckStatus::passed;
    certificate.stages.push_back(std::move(record));
  }
  // Zero-padded names arrive in key order, so every map is built by appending, as the walk does.
  for (std::size_t i = 0; i < artifact_count(); ++i) {
    std::string name = std::to_string(i);
    name =
        "artifact-" + std::string(6 - std::min<std::size_t>(6, name.size()), '0') + name + ".bin";
    certificate.stages[i % 6].artifact_hashes.append_sorted(name, hash_bytes(name));
  }
  return certificate;
}

const GovernanceCertificate& certificate() {
  static const GovernanceCertificate instance = large_certificate();
  return instance;
}

// Many small records instead of large maps: every stage with its gate result and sandbox
// execution, and a consumed override per stage, so per-record work dominates.
GovernanceCertificate record_dense_certificate() {
  GovernanceCertificate certificate = certificate_without_records();
  const std::size_t stages = options().smoke ? 100 : 5'000;
  for (std::size_t stage = 0; stage < stages; ++stage) {
    const std::string stage_id = "s" + std::to_string(stage) + "-stage";
    StageRecord record;
    record.stage_id = stage_id;
    record.status = CheckStatus::passed;
    record.artifact_hashes.append_sorted("out.bin", hash_bytes(stage_id));
    record.gate_result = GateResult{.passed = true, .checks_run = 12, .checks_failed = 0};
    record.duration_ms = 1500;
    record.sandbox_execution =
        SandboxExecution{.command = {"make", "all"}, .runtime_descriptor = "runc", .exit_code = 0};
    certificate.stages.push_back(std::move(record));
    certificate.consumed_overrides.push_back(ConsumedOverride{.artifact_id = stage_id,
                                                              .path = "src/main.cpp",
                                                              .content_hash = std::string(64, 'c'),
                                                              .author = "ops",
                                                              .verified = true});
  }
  return certificate;
}

const GovernanceCertificate& dense_certificate() {
  static const GovernanceCertificate instance = record_dense_certificate();
  return instance;
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A scratch file of `size` bytes, removed at exit.
class ScratchFile {
 public:
  explicit ScratchFile(std::size_t size)
      : path_(std::filesystem::temp_directory_path() /
              ("certwright-bench-" + std::to_string(::getpid()) + "-" + std::to_string(size))) {
    std::ofstream out(path_, std::ios::binary);
    const std::string block(64 * 1024, 'x');
    for (std::size_t written = 0; written < size; written += block.size())
      out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - written)));
  }
  ~ScratchFile() { std::filesystem::remove(path_); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

void BM_hash_file(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const ScratchFile file(size);
  for (auto _ : state) {
    auto hash = hash_file(file.path());
    if (!hash) state.SkipWithError("hash_file failed");
    benchmark::DoNotOptimize(hash);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_hash_file)->Arg(4 << 10)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);

// A directory of `count` files of `size` bytes each, removed at exit.
class ScratchStage {
 public:
  ScratchStage(std::size_t count, std::size_t size)
      : path_(
            std::filesystem::temp_directory_path() /
            ("certwright-bench-stage-" + std::to_string(::getpid()) + "-" + std::to_string(size))) {
    std::filesystem::create_directories(path_);
    const std::string content(size, 'x');
    for (std::size_t i = 0; i < count; ++i) {
      names_.push_back("f" + std::to_string(i));
      std::ofstream(path_ / names_.back(), std::ios::binary) << content;
    }
    for (const auto& name : names_)
      raw_.push_back(name.c_str());
    fd_ = UniqueFd(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  ~ScratchStage() { std::filesystem::remove_all(path_); }
  ScratchStage(const ScratchStage&) = delete;
  ScratchStage& operator=(const ScratchStage&) = delete;
  int fd() const { return fd_.get(); }
  const std::vector<const char*>& names() const { return raw_; }

 private:
  std::filesystem::path path_;
  std::vector<std::string> names_;
  std::vector<const char*> raw_;
  UniqueFd fd_;
};

// Files per second through each read engine, by file size (page cache warm).
void BM_artifact_reader(benchmark::State& state) {
  const auto engine = static_cast<IoEngine>(state.range(0));
  const auto size = static_cast<std::size_t>(state.range(1));
  const std::size_t count =
      options().smoke ? 20 : std::max<std::size_t>(8, (64 << 20) / (size + 4096));
  const ScratchStage stage(std::min<std::size_t>(count, 20'000), size);
  const auto reader = ArtifactReader::create(engine);
  state.SetLabel(reader->engine() == IoEngine::uring ? "uring" : "classic");
  std::size_t hashed = 0;
  for (auto _ : state) {
    reader->hash_files(stage.fd(), stage.names(), [&](std::size_t, const ArtifactHash& hash) {
      if (!hash) state.SkipWithError("hash_files failed");
      ++hashed;
    });
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(hashed));
  state.SetBytesProcessed(static_cast<std::int64_t>(hashed * size));
}
BENCHMARK(BM_artifact_reader)
    ->ArgsProduct({{static_cast<int>(IoEngine::classic), static_cast<int>(IoEngine::uring)},
                   {1 << 10, 4 << 10, 64 << 10, 1 << 20, 16 << 20}})
    ->Unit(benchmark::kMillisecond);

void BM_encode_compact(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(encode_compact(certificate(), CertificateView::full));
  state.counters["artifacts"] = static_cast<double>(artifact_count());
}
BENCHMARK(BM_encode_compact)->Unit(benchmark::kMillisecond);

void BM_encode_pretty(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(encode_pretty(certificate()));
  state.counters["artifacts"] = static_cast<double>(artifact_count());
}
BENCHMARK(BM_encode_pretty)->Unit(benchmark::kMillisecond);

void BM_encode_records(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(encode_pretty(dense_certificate()));
  state.counters["stages"] = static_cast<double>(dense_certificate().stages.size());
}
BENCHMARK(BM_encode_records)->Unit(benchmark::kMillisecond);

// The strict reader on the file's encoding, already padded as the verifier's file read leaves it.
void read_benchmark(benchmark::State& state, const GovernanceCertificate& certificate) {
  const simdjson::padded_string text(encode_pretty(certificate));
  for (auto _ : state) {
    auto read = read_certificate(simdjson::padded_string_view(text));
    if (!read) return state.SkipWithError(read.error().message.c_str());
    benchmark::DoNotOptimize(read);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_read_certificate(benchmark::State& state) {
  read_benchmark(state, certificate());
}
BENCHMARK(BM_read_certificate)->Unit(benchmark::kMillisecond);

void BM_read_records(benchmark::State& state) {
  read_benchmark(state, dense_certificate());
}
BENCHMARK(BM_read_records)->Unit(benchmark::kMillisecond);

void BM_certificate_hash(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(compute_certificate_hash(certificate()));
  state.counters["artifacts"] = static_cast<double>(artifact_count());
}
BENCHMARK(BM_certificate_hash)->Unit(benchmark::kMillisecond);

// The signing view encoded and signed: Ed25519 reads the message twice through SHA-512.
void BM_sign_certificate(benchmark::State& state) {
  const auto key = SigningKey::from_seed(Seed());
  if (!key) return state.SkipWithError("no signing key");
  for (auto _ : state)
    benchmark::DoNotOptimize(sign_certificate(certificate(), *key));
  state.counters["artifacts"] = static_cast<double>(artifact_count());
}
BENCHMARK(BM_sign_certificate)->Unit(benchmark::kMillisecond);

// What a run does: one encoding of the hash view, its SHA-256, the hash written in, Ed25519.
void BM_seal_certificate(benchmark::State& state) {
  const auto key = SigningKey::from_seed(Seed());
  if (!key) return state.SkipWithError("no signing key");
  GovernanceCertificate sealed = certificate();
  for (auto _ : state) {
    seal_certificate(sealed, *key);
    benchmark::DoNotOptimize(sealed.cert_signature);
  }
  state.counters["artifacts"] = static_cast<double>(artifact_count());
}
BENCHMARK(BM_seal_certificate)->Unit(benchmark::kMillisecond);

const std::string& bom_bytes() {
  static const std::string bytes = read_whole(options().bom_path);
  return bytes;
}

void BM_bom_tool_version(benchmark::State& state) {
  if (bom_bytes().empty()) state.SkipWithError("no BOM: pass --bom=PATH");
  for (auto _ : state)
    benchmark::DoNotOptimize(bom_tool_version(bom_bytes()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bom_bytes().size()));
}
BENCHMARK(BM_bom_tool_version)->Unit(benchmark::kMillisecond);

// The yardstick for BM_bom_tool_version: the same bytes copied into a padded buffer and parsed
// by a fresh DOM parser, as a one-shot tool does, without looking at the result.
void BM_simdjson_dom_parse(benchmark::State& state) {
  if (bom_bytes().empty()) state.SkipWithError("no BOM: pass --bom=PATH");
  for (auto _ : state) {
    const simdjson::padded_string padded(bom_bytes());
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(padded).get(root)) state.SkipWithError("the BOM does not parse");
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bom_bytes().size()));
}
BENCHMARK(BM_simdjson_dom_parse)->Unit(benchmark::kMillisecond);

constexpr std::string_view kAttestation =
    R"({"schemaVersion":"1","tool":{"name":"varrow","version":"0.4.2"},)"
    R"("inputsManifestHash":"im","registryHash":"rh","verdicts":{"compile":{"ok":true},)"
    R"("lint":{"ok":false,"findingsHash":"fh"},"couple":{"ok":true,"indexHash":"ih",)"
    R"("joinHash":"jh"}}})";

void BM_attestation_parse(benchmark::State& state) {
  for (auto _ : state) {
    auto attestation = parse_corpus_attestation(kAttestation);
    if (!attestation) state.SkipWithError("the attestation does not parse");
    benchmark::DoNotOptimize(attestation);
  }
}
BENCHMARK(BM_attestation_parse);

constexpr std::string_view kBuildSpec = R"(service: orders
owner: platform
agentic_posture:
  posture: governed
  surfaces:
    - kind: tool-surface
      description: "shell tools"
    - kind: model-api
      governance_envelope:
        max_tokens: 2048
        temperature: 0.2
        models: [small, large]
        nested: {deep: [true, null, -3]}
    - kind: human-approval-point
      description: release gate
)";

void BM_posture_projection(benchmark::State& state) {
  for (auto _ : state) {
    auto projection = parse_posture_projection(kBuildSpec);
    if (!projection) state.SkipWithError("the build spec does not parse");
    benchmark::DoNotOptimize(projection);
  }
}
BENCHMARK(BM_posture_projection);

// Takes this program's own flags out of argv, leaving Google Benchmark's.
void take_own_flags(int& argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--bom=")) {
      options().bom_path = std::string(arg.substr(6));
    } else if (arg == "--smoke") {
      options().smoke = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
}

}  // namespace
}  // namespace certwright

int main(int argc, char** argv) {
  certwright::take_own_flags(argc, argv);
  certwright::certificate();  // built before any timing starts
  certwright::dense_certificate();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
