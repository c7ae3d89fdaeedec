#include "cli/keygen_driver.h"
#include "cli/command_line.h"
#include "cli/error_line.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <expected>
#include <string_view>
#include <variant>
#include <vector>

#include "core/base/base64.h"
#include "core/base/error.h"
#include "core/base/text.h"
#include "core/base/unique_fd.h"
#include "core/base/warning.h"
#include "core/seal/public_key.h"
#include "core/seal/signing_key.h"

namespace certwright {
namespace {

constexpr std::string_view kNoOperatorKey =
    "no operator key is configured: set ZEM_SIGNING_KEY or ZEM_SIGNING_KEY_PATH, or name a seed "
    "or public key file with --public FILE";

// The public key as --format asks: the labelled line, which no seed reader takes for a seed, or
// a PEM block.
std::string shown_key(const PublicKeyBytes& key, const std::optional<std::string>& format) {
  if (format == "pem") return public_key_pem(key);
  return labelled_public_key(key) + "\n";
}

// Prints the public key of a seed or the public key itself: the whole of standard output.
int print_public_key(const SeedOrPublicKey& read, const std::optional<std::string>& format) {
  if (const auto* key = std::get_if<PublicKeyBytes>(&read)) {
    write_fully(STDOUT_FILENO, shown_key(*key, format));
    return 0;
  }
  const auto key = SigningKey::from_seed(std::get<Seed>(read));
  if (!key) return refuse("Ed25519 key derivation failed: " + key.error());
  write_fully(STDOUT_FILENO, shown_key(key->public_key(), format));
  return 0;
}

// Writes all of `text` to `fd`; the error of the write that failed otherwise.
std::expected<void, std::error_code> write_text(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return std::unexpected(last_system_error());
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

// The seed's text and a line break, in a file created for it alone: O_EXCL so nothing is
// overwritten, O_NOFOLLOW so no link is followed, and mode 0600 set on the descriptor so the
// umask cannot widen or narrow it. A file that could not be written whole is removed.
std::expected<void, std::string> write_seed_file(const std::string& path, const Seed& seed) {
  const std::string shown = lossy_utf8(path);
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) {
    const int error = errno;
    if (error == EEXIST) return std::unexpected(shown + " exists; a key file is never overwritten");
    return std::unexpected("cannot create " + shown + ": " +
                           std::generic_category().message(error));
  }
  // Written as two pieces: appending the line break could reallocate and leave a copy behind.
  std::string text = base64_encode(seed.bytes());
  auto written = ::fchmod(fd.get(), 0600) == 0 ? write_text(fd.get(), text)
                                               : std::unexpected(last_system_error());
  OPENSSL_cleanse(text.data(), text.size());
  if (written) written = write_text(fd.get(), "\n");
  if (written && ::fsync(fd.get()) != 0) written = std::unexpected(last_system_error());
  if (!written) {
    ::unlink(path.c_str());
    return std::unexpected("cannot write " + shown + ": " + written.error().message());
  }
  return {};
}

// The labelled public key beside its seed, created as the seed file is (never overwriting, no
// link followed), readable by all.
std::expected<void, std::string> write_public_key_file(const std::string& path,
                                                       const PublicKeyBytes& key) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd)
    return std::unexpected("cannot create " + lossy_utf8(path) + ": " +
                           last_system_error().message());
  auto written = ::fchmod(fd.get(), 0644) == 0
                     ? write_text(fd.get(), labelled_public_key(key) + "\n")
                     : std::unexpected(last_system_error());
  if (written && ::fsync(fd.get()) != 0) written = std::unexpected(last_system_error());
  if (!written) {
    ::unlink(path.c_str());
    return std::unexpected("cannot write " + lossy_utf8(path) + ": " + written.error().message());
  }
  return {};
}

int generate(const std::string& path) {
  const auto seed = random_seed();
  if (!seed) return refuse(seed.error().message);
  const auto key = SigningKey::from_seed(*seed);
  if (!key) return refuse("Ed25519 key derivation failed: " + key.error());
  const std::string public_path = path + ".pub";
  struct stat existing {};
  if (::lstat(public_path.c_str(), &existing) == 0)
    return refuse(lossy_utf8(public_path) + " exists; a key file is never overwritten");
  if (auto written = write_seed_file(path, *seed); !written) return refuse(written.error());
  if (auto written = write_public_key_file(public_path, key->public_key()); !written)
    return refuse(written.error());
  // Standard output is the public key alone, so that `> operator.pub` keeps a key file.
  write_fully(STDOUT_FILENO, shown_key(key->public_key(), std::nullopt));
  write_fully(STDERR_FILENO, "fingerprint: " + key_fingerprint(key->public_key()) +
                                 "\npublic key written to " + lossy_utf8(public_path) +
                                 "\nverify with: certwright-verify CERTIFICATE --public-key-file " +
                                 lossy_utf8(public_path) + "\n");
  return 0;
}

int show_public_key(const std::string& key_file, const std::optional<std::string>& format) {
  if (!key_file.empty()) {
    const auto read = read_seed_or_public_key_file(key_file);
    if (!read) return refuse(read.error().message);
    return print_public_key(*read, format);
  }
  const auto resolved = resolve_operator_key();
  if (!resolved) return refuse(kNoOperatorKey);
  if (!*resolved) return refuse(resolved->error().message);
  write_fully(STDOUT_FILENO, shown_key((*resolved)->key.public_key(), format));
  return 0;
}

}  // namespace

int run_keygen(KeygenArgs args) {
  if (args.out) return generate(*args.out);
  return show_public_key(args.public_key_of.value_or(""), args.format);
}

int run_keygen_command_line(std::span<char*> argv) {
  const std::vector<std::string_view> arguments(argv.begin(), argv.end());
  return run_parsed(parse_keygen_command_line(arguments), run_keygen);
}

}  // namespace certwright
