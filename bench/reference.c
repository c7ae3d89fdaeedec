/* The yardstick for bench/run: the smallest correct program doing certwright's stage walk.
 *
 * For each stage directory of RUN_DIR: list it, open every regular file relative to it, stream
 * the file through one 64 KiB buffer into OpenSSL's SHA-256 and print "stage/name hash". No
 * JSON, no sorting, no signing: what is left is the cost of the system calls and the digest.
 *
 * usage: reference RUN_DIR [STAGE...]   (default: the six default stage names)
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char* const kDefaultStages[] = {
    "s0-preflight",  "s1-business-requirements", "s2-service-requirements",
    "s3-data-model", "s4-api-specification",     "s5-ui-specification",
};

static unsigned char buffer[64 * 1024];

static int hash_fd(int fd, EVP_MD_CTX* context, const EVP_MD* sha256, char hex[65]) {
  static const char kDigits[] = "0123456789abcdef";
  unsigned char digest[32];
  unsigned int size = 0;
  if (EVP_DigestInit_ex2(context, sha256, NULL) != 1) return -1;
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    EVP_DigestUpdate(context, buffer, (size_t)count);
  }
  if (EVP_DigestFinal_ex(context, digest, &size) != 1) return -1;
  for (unsigned int i = 0; i < size; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  hex[2 * size] = '\0';
  return 0;
}

static void walk_stage(const char* run_dir, const char* stage, EVP_MD_CTX* context,
                       const EVP_MD* sha256) {
  const int run_fd = open(run_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (run_fd < 0) return;
  const int stage_fd = openat(run_fd, stage, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  close(run_fd);
  if (stage_fd < 0) return;
  DIR* dir = fdopendir(stage_fd);
  if (!dir) {
    close(stage_fd);
    return;
  }
  const struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    if (entry->d_type != DT_REG) continue;
    const int fd = openat(stage_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    char hex[65];
    if (hash_fd(fd, context, sha256, hex) == 0) printf("%s/%s %s\n", stage, entry->d_name, hex);
    close(fd);
  }
  closedir(dir);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s RUN_DIR [STAGE...]\n", argv[0]);
    return 2;
  }
  EVP_MD* sha256 = EVP_MD_fetch(NULL, "SHA256", NULL);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (!sha256 || !context) return 1;
  if (argc > 2) {
    for (int i = 2; i < argc; ++i) walk_stage(argv[1], argv[i], context, sha256);
  } else {
    for (size_t i = 0; i < sizeof kDefaultStages / sizeof kDefaultStages[0]; ++i)
      walk_stage(argv[1], kDefaultStages[i], context, sha256);
  }
  EVP_MD_CTX_free(context);
  EVP_MD_free(sha256);
  return fflush(stdout) == 0 ? 0 : 1;
}
