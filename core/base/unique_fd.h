// Scoped file descriptors and directory streams.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <utility>

namespace certwright {

// Owns one file descriptor and closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Owns one directory stream (which owns its descriptor) and closes it on destruction.
class UniqueDir {
 public:
  UniqueDir() = default;
  explicit UniqueDir(DIR* dir) : dir_(dir) {}
  UniqueDir(UniqueDir&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
  UniqueDir& operator=(UniqueDir&& other) noexcept {
    if (this != &other) {
      if (dir_) ::closedir(dir_);
      dir_ = std::exchange(other.dir_, nullptr);
    }
    return *this;
  }
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  ~UniqueDir() {
    if (dir_) ::closedir(dir_);
  }

  DIR* get() const { return dir_; }
  explicit operator bool() const { return dir_ != nullptr; }

 private:
  DIR* dir_ = nullptr;
};

}  // namespace certwright
