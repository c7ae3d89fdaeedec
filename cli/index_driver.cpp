#include "cli/index_driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/error_line.h"
#include "cli/help_text.h"
#include "cli/index_args.h"
#include "cli/index_report.h"
#include "cli/name_list.h"
#include "cli/verify_driver.h"
#include "core/base/content_hash.h"
#include "core/base/date_time.h"
#include "core/base/environment.h"
#include "core/base/memory_pages.h"
#include "core/base/ordered_parallel.h"
#include "core/base/padded_file.h"
#include "core/base/text.h"
#include "core/base/usable_cpus.h"
#include "core/base/warning.h"
#include "core/formats/certificate_envelope.h"
#include "core/seal/certificate_file.h"
#include "core/store/certificate_store.h"
#include "core/store/postgres_database.h"
#include "core/store/store_query.h"

namespace certwright {
namespace {

// A batch is committed when it holds this many certificates or this many bytes, whichever
// comes first: one transaction per batch, so a killed `add` leaves whole batches or none. The
// byte bound keeps a certificate of 120,000 artifacts (12 MB, and 15 MB of facts) in a batch of
// its own, so that add's peak stays near the verification's.
constexpr std::size_t kBatchCertificates = 1024;
constexpr std::size_t kBatchBytes = std::size_t{8} << 20;

// A certificate above this size (about 45,000 artifacts) is read and verified on the calling
// thread at its turn, while no other such one is held, and committed as soon as it is taken:
// two verified at once would add the second's verification peak to add's.
constexpr std::size_t kLargeCertificateBytes = std::size_t{4} << 20;

// How many files the workers verify ahead of the one being taken: a batch's worth, so that they
// go on while the calling thread commits one (with four per thread they stopped within a few
// milliseconds, and a two-thread add ran its commits on one CPU). A demo certificate's result
// holds about 6 kB; a large file is left for the calling thread.
constexpr std::size_t kResultsAhead = kBatchCertificates;

// How many stored certificates `check` holds at once.
constexpr std::int64_t kCheckChunk = 64;

// The default store, $XDG_DATA_HOME/certwright/index.sqlite (~/.local/share without it), its
// directories made as needed.
std::expected<std::string, Error> default_store_path() {
  std::string data_home;
  if (const auto xdg = unicode_variable("XDG_DATA_HOME"); xdg && xdg->starts_with("/"))
    data_home = *xdg;
  else if (const auto home = unicode_variable("HOME"); home && !home->empty())
    data_home = join_path(*home, ".local/share");
  else
    return std::unexpected(Error{"no store named: give --db, or set CERTWRIGHT_INDEX or HOME"});
  const std::string directory = join_path(data_home, "certwright");
  for (std::size_t at = 1; at <= directory.size(); ++at)
    if (at == directory.size() || directory[at] == '/')
      if (::mkdir(directory.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST)
        return std::unexpected(Error{"cannot make " + lossy_utf8(directory.substr(0, at)) + ": " +
                                     last_system_error().message()});
  return join_path(directory, "index.sqlite");
}

std::expected<CertificateStore, Error> open_index(const IndexArgs& args) {
  if (args.db) return open_store(*args.db);
  if (const auto variable = unicode_variable("CERTWRIGHT_INDEX"); variable && !variable->empty())
    return open_store(std::string(*variable));
  const auto path = default_store_path();
  if (!path) return std::unexpected(path.error());
  return open_store(*path);
}

std::string failed_checks(const VerificationReport& report) {
  std::string names;
  for (const CheckResult& check : report.checks)
    if (!check.ok) names.append(names.empty() ? "" : ", ").append(check.name);
  return names.empty() ? "no check ran" : names;
}

VerificationReport verify_bytes(simdjson::padded_string_view file,
                                const VerificationPolicy& policy) {
  return is_attestation(file) ? verify_attestation(file, std::nullopt, policy, {})
                              : verify_certificate(file, policy, {});
}

// The policy of `check` and of an ephemeral certificate that `--allow-ephemeral` admits: the
// certificate intact and sealed by the key it carries.
VerificationPolicy integrity_policy(VerificationPolicy policy) {
  policy.integrity_only = true;
  policy.trusted_keys.clear();
  policy.allowed_signers.clear();
  policy.require_operator_key = false;
  return policy;
}

// The caller's policy; an ephemeral certificate, which no trusted key can have sealed, is
// admitted with `--allow-ephemeral` when it is intact and meets the rest of the policy.
VerificationReport verify_for_adding(simdjson::padded_string_view file,
                                     const VerificationPolicy& policy, bool allow_ephemeral) {
  VerificationReport report = verify_bytes(file, policy);
  if (report.verified() || !allow_ephemeral || !report.certificate ||
      report.certificate->signing_attestation.kind != AttestationKind::ephemeral)
    return report;
  return verify_bytes(file, integrity_policy(policy));
}

struct PendingBatch {
  std::vector<NewCertificate> certificates;
  std::vector<std::string> paths;
  std::size_t bytes = 0;
};

std::expected<void, Error> commit(CertificateStore& store, PendingBatch& batch) {
  if (batch.certificates.empty()) return {};
  const auto outcomes = store.add(batch.certificates, utc_now().unix_seconds);
  if (!outcomes) return std::unexpected(outcomes.error());
  std::string lines;
  for (std::size_t i = 0; i < outcomes->size(); ++i) {
    const AddOutcome& outcome = (*outcomes)[i];
    lines.append(outcome.added ? "added " : "already stored ")
        .append(single_line(lossy_utf8(batch.paths[i])))
        .append(": ")
        .append(hash_prefix(batch.certificates[i].facts.certificate_hash))
        .append(", sequence number ")
        .append(std::to_string(outcome.seq))
        .append("\n");
  }
  write_fully(STDOUT_FILENO, lines);
  batch = {};
  return {};
}

// What reading and verifying one file gave: the certificate to store, or why not.
struct ExaminedFile {
  std::optional<NewCertificate> certificate;
  std::string unreadable;  // the reason it could not be read
  std::string refused;     // the checks it failed
  bool large = false;
  // A large file left for the calling thread: its bytes when a worker read them (standard
  // input, a pipe), none when it is still to be read.
  bool deferred = false;
  std::optional<simdjson::padded_string> unverified;
};

bool is_large_file(const std::string& path) {
  struct stat status {};
  return path != "-" && ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         static_cast<std::size_t>(status.st_size) > kLargeCertificateBytes;
}

ExaminedFile verified_file(simdjson::padded_string file, const VerificationPolicy& policy,
                           bool allow_ephemeral) {
  ExaminedFile examined;
  examined.large = file.size() > kLargeCertificateBytes;
  VerificationReport report = verify_for_adding(file, policy, allow_ephemeral);
  if (!report.verified()) {
    examined.refused = failed_checks(report);
    return examined;
  }
  // Each copy is made once the one before it is released: the parsed certificate, then the
  // padded bytes (for 120,000 artifacts, 20 MB and 12 MB off add's peak).
  CertificateFacts facts = facts_of(*report.certificate);
  report = {};
  const std::string_view form = is_attestation(file) ? kFormAttestation : kFormCertificate;
  std::string bytes{std::string_view(file)};
  file = simdjson::padded_string();
  std::string file_sha256 = hash_bytes(bytes);
  examined.certificate =
      NewCertificate{std::move(facts), std::string(form), std::move(bytes), std::move(file_sha256)};
  return examined;
}

// On a worker: reads and verifies a file, except a large one, which is left for the calling
// thread (deferred).
ExaminedFile examine(const std::string& path, const VerificationPolicy& policy,
                     bool allow_ephemeral) {
  ExaminedFile examined;
  if (is_large_file(path)) {
    examined.deferred = true;
    return examined;
  }
  auto file = read_padded_input(path, kMaxCertificateBytes);
  if (!file) {
    examined.unreadable = file.error().message();
    return examined;
  }
  if (file->size() > kLargeCertificateBytes) {  // standard input, a pipe
    examined.deferred = true;
    examined.unverified = std::move(*file);
    return examined;
  }
  return verified_file(std::move(*file), policy, allow_ephemeral);
}

// On the calling thread, at its turn: a large file read and verified there, so that no two are
// held at once and every large verification runs on one thread's heap. Verified on whichever
// worker came, each worker's heap kept what a large one left, and add's peak grew with the
// number of large certificates (107 MiB for 6 of 120,000 artifacts against 85 MiB on one
// thread).
ExaminedFile examine_deferred(const std::string& path, ExaminedFile&& deferred,
                              const VerificationPolicy& policy, bool allow_ephemeral) {
  if (deferred.unverified)
    return verified_file(std::move(*deferred.unverified), policy, allow_ephemeral);
  auto file = read_padded_input(path, kMaxCertificateBytes);
  if (!file) {
    ExaminedFile examined;
    examined.large = true;
    examined.unreadable = file.error().message();
    return examined;
  }
  ExaminedFile examined = verified_file(std::move(*file), policy, allow_ephemeral);
  examined.large = true;
  return examined;
}

// Files are read and verified on every usable thread and taken in argument order: the lines
// and the sequence numbers come out as one thread gives them.
int run_add(const IndexArgs& args) {
  const auto policy = verification_policy_of(args);
  if (!policy) return refuse(policy.error().message);
  auto store = open_index(args);
  if (!store) return refuse(store.error().message);
  const auto paths = files_named(args);
  if (!paths) return refuse(paths.error().message);
  // Without it, verifying two large certificates on two threads, one after the other, added
  // 18 MiB to the peak (107 MiB against 89 MiB on one thread; 78 MiB with it).
  trim_heaps_promptly();
  int status = 0;
  std::optional<Error> failure;
  PendingBatch batch;
  std::atomic<bool> stopping = false;  // once the store failed, the rest is not read
  const auto compute = [&](std::size_t index) {
    if (stopping) return ExaminedFile{};
    return examine((*paths)[index], *policy, args.allow_ephemeral);
  };
  const auto take = [&](std::size_t index, ExaminedFile&& examined) {
    const std::string& path = (*paths)[index];
    if (examined.deferred && !failure)
      examined = examine_deferred(path, std::move(examined), *policy, args.allow_ephemeral);
    if (failure) {
      // The store failed: what is left is read but no longer stored.
    } else if (!examined.certificate && !examined.unreadable.empty()) {
      print_error("certificate " + lossy_utf8(path) + " unreadable: " + examined.unreadable);
      status = 2;
    } else if (!examined.certificate) {
      write_fully(STDOUT_FILENO, "refused " + single_line(lossy_utf8(path)) +
                                     ": failed checks: " + examined.refused + "\n");
      status = std::max(status, 1);
    } else {
      batch.bytes += examined.certificate->bytes.size();
      batch.certificates.push_back(std::move(*examined.certificate));
      batch.paths.push_back(path);
      if (examined.large || batch.certificates.size() >= kBatchCertificates ||
          batch.bytes >= kBatchBytes)
        if (auto committed = commit(*store, batch); !committed) {
          failure = committed.error();
          stopping = true;
        }
    }
    // What the large certificate's verification freed is handed back before the next one.
    if (examined.large) release_free_memory();
  };
  for_each_in_order(paths->size(), thread_count(), compute, take, kResultsAhead);
  if (failure) return refuse(failure->message);
  if (auto committed = commit(*store, batch); !committed) return refuse(committed.error().message);
  return status;
}

std::expected<StoreQuery, Error> query_of(const IndexArgs& args) {
  StoreQuery query;
  query.digests = args.digests;
  for (const std::string& path : args.artifacts) {
    auto hash = hash_file(path);
    if (!hash)
      return std::unexpected(
          Error{"--artifact " + lossy_utf8(path) + " unreadable: " + hash.error().message()});
    query.digests.push_back(std::move(*hash));
  }
  query.run_id = args.run_id;
  query.signer_subject = args.signer;
  query.signer_identity_provider = args.identity_provider;
  query.plain = args.plain;
  query.key_fingerprint = args.key;
  query.kind = args.kind;
  query.status = args.status;
  // Each was checked as the command line was read.
  if (args.since) query.since = parse_date_time(*args.since);
  if (args.until) query.until = parse_date_time(*args.until);
  query.missing_stages = args.missing_stages;
  query.skipped = args.skipped;
  query.stage = args.stage;
  if (args.limit) {
    std::int64_t limit = 0;
    std::from_chars(args.limit->data(), args.limit->data() + args.limit->size(), limit);
    query.limit = limit;
  }
  return query;
}

int run_query(const IndexArgs& args) {
  const auto query = query_of(args);
  if (!query) return refuse(query.error().message);
  auto store = open_index(args);
  if (!store) return refuse(store.error().message);
  const auto matches = run_query(store->database(), *query);
  if (!matches) return refuse("query: " + matches.error().message);
  write_fully(STDOUT_FILENO, args.format == "json" ? query_json(*matches) : query_text(*matches));
  return 0;
}

// The one stored certificate whose hash starts with the prefix; none (after its error line)
// when the store cannot be read (exit 2) or the prefix names none or several (exit 1).
std::expected<StoredCertificate, int> stored_by_prefix(const IndexArgs& args) {
  auto store = open_index(args);
  if (!store) return std::unexpected(refuse(store.error().message));
  const auto seqs = store->with_hash_prefix(args.certificate, 2);
  if (!seqs) return std::unexpected(refuse(seqs.error().message));
  if (seqs->size() != 1) {
    print_error(
        std::string(seqs->empty() ? "no stored certificate" : "several stored certificates") +
        " with a hash starting " + args.certificate);
    return std::unexpected(1);
  }
  auto stored = store->load(seqs->front());
  if (!stored) return std::unexpected(refuse(stored.error().message));
  return std::move(*stored);
}

int run_show(const IndexArgs& args) {
  const auto stored = stored_by_prefix(args);
  if (!stored) return stored.error();
  write_fully(STDOUT_FILENO, show_text(*stored));
  return 0;
}

int run_export(const IndexArgs& args) {
  const auto stored = stored_by_prefix(args);
  if (!stored) return stored.error();
  if (hash_bytes(stored->bytes) != stored->file_sha256) {
    print_error("certificate " + std::string(hash_prefix(stored->facts.certificate_hash)) +
                ": the stored bytes do not match their recorded SHA-256; nothing written");
    return 1;
  }
  if (!args.out) {
    write_fully(STDOUT_FILENO, stored->bytes);
    return 0;
  }
  if (const auto written = write_file_atomically(*args.out, stored->bytes); !written)
    return refuse("--out " + lossy_utf8(*args.out) + ": " + written.error().message());
  return 0;
}

// The names of the facts in which `stored` differs from `found`.
std::string differing_facts(const CertificateFacts& stored, const CertificateFacts& found) {
  std::string names;
  const auto compare = [&](std::string_view name, bool same) {
    if (!same) names.append(names.empty() ? "" : ", ").append(name);
  };
  compare("certificate hash", stored.certificate_hash == found.certificate_hash);
  compare("run id", stored.run_id == found.run_id);
  compare("trusted time", stored.trusted_time == found.trusted_time);
  compare("status", stored.status == found.status);
  compare("signer", stored.signer_subject == found.signer_subject &&
                        stored.signer_identity_provider == found.signer_identity_provider &&
                        stored.signer_session_id == found.signer_session_id);
  compare("key", stored.public_key == found.public_key &&
                     stored.key_fingerprint == found.key_fingerprint && stored.kind == found.kind);
  compare("stages", stored.stages == found.stages);
  compare("inputs", stored.requirements_hash == found.requirements_hash &&
                        stored.spec_id == found.spec_id && stored.spec_hash == found.spec_hash &&
                        stored.build_spec_hash == found.build_spec_hash &&
                        stored.posture == found.posture &&
                        stored.corpus_attestation_hash == found.corpus_attestation_hash &&
                        stored.sbom_bom_hash == found.sbom_bom_hash &&
                        stored.sbom_audit_hash == found.sbom_audit_hash);
  return names;
}

// Why the stored certificate no longer agrees with its bytes; empty when it does.
std::string disagreement(const StoredCertificate& stored) {
  if (hash_bytes(stored.bytes) != stored.file_sha256)
    return "the stored bytes do not match their recorded SHA-256";
  auto file = simdjson::padded_string(stored.bytes);
  const bool attestation = is_attestation(file);
  if (stored.form != (attestation ? kFormAttestation : kFormCertificate))
    return "the stored form does not match the bytes";
  const VerificationReport report = verify_bytes(file, integrity_policy({}));
  if (!report.verified()) return "does not verify: failed checks: " + failed_checks(report);
  const std::string differing = differing_facts(stored.facts, facts_of(*report.certificate));
  if (!differing.empty()) return "stored facts differ from the certificate: " + differing;
  return {};
}

int run_check(const IndexArgs& args) {
  auto store = open_index(args);
  if (!store) return refuse(store.error().message);
  std::size_t checked = 0;
  std::size_t disagreeing = 0;
  for (std::int64_t after = 0;;) {
    const auto seqs = store->sequence_numbers(after, kCheckChunk);
    if (!seqs) return refuse(seqs.error().message);
    if (seqs->empty()) break;
    for (const std::int64_t seq : *seqs) {
      // Numbers are handed out without gaps and rows never deleted: a gap is rows removed.
      if (seq != after + 1) {
        ++disagreeing;
        write_fully(STDOUT_FILENO, "sequence numbers " + std::to_string(after + 1) + " to " +
                                       std::to_string(seq - 1) + ": missing\n");
      }
      after = seq;
      const auto stored = store->load(seq);
      if (!stored) return refuse(stored.error().message);
      ++checked;
      if (const std::string reason = disagreement(*stored); !reason.empty()) {
        ++disagreeing;
        write_fully(STDOUT_FILENO,
                    std::string(single_line(hash_prefix(stored->facts.certificate_hash))) + " " +
                        single_line(stored->facts.run_id) + ": " + reason + "\n");
      }
    }
  }
  write_fully(STDOUT_FILENO, "checked " + std::to_string(checked) +
                                 (checked == 1 ? " certificate: " : " certificates: ") +
                                 (disagreeing == 0 ? std::string("all agree")
                                                   : std::to_string(disagreeing) + " disagree") +
                                 "\n");
  return disagreeing == 0 ? 0 : 1;
}

int run_index(IndexArgs args) {
  if (args.command == "add") return run_add(args);
  if (args.command == "query") return run_query(args);
  if (args.command == "show") return run_show(args);
  if (args.command == "export") return run_export(args);
  return run_check(args);
}

void write_stream(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

int run_index_command_line(std::span<char*> argv) {
  const std::vector<std::string_view> arguments(argv.begin(), argv.end());
  std::string program(index_tool_name);
  if (!arguments.empty()) {
    const std::string_view path = arguments.front();
    const std::string_view name = path.substr(path.rfind('/') + 1);
    if (!name.empty()) program = single_line(name);
  }
  if (arguments.size() < 2) {
    write_stream(stderr, index_top_level_help(program));
    return 2;
  }
  const std::string_view first = arguments[1];
  if (first == "-h" || first == "--help" || first == "help") {
    write_stream(stdout, index_top_level_help(program));
    return 0;
  }
  if (first == "-V" || first == "--version") {
    write_stream(stdout, std::string(index_tool_name) + " " + CERTWRIGHT_VERSION + "\n");
    return 0;
  }
  const IndexCommand* command = find_index_command(first);
  if (command == nullptr) {
    write_stream(stderr, "error: unrecognised command '" + single_line(first) +
                             "'\n\nUsage: " + program +
                             " <COMMAND> [OPTIONS]\n\nFor more information, try '--help'.\n");
    return 2;
  }
  auto parsed = parse_index_command(program, *command, std::span(arguments).subspan(2));
  if (auto* args = std::get_if<IndexArgs>(&parsed)) {
    args->command = std::string(command->name);
    return run_index(std::move(*args));
  }
  if (const auto* help = std::get_if<HelpText>(&parsed)) {
    write_stream(stdout, help->text);
    return 0;
  }
  write_stream(stderr, std::get<UsageError>(parsed).text);
  return 2;
}

}  // namespace certwright
