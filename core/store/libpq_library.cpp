#include "core/store/libpq_library.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "core/base/text.h"

namespace certwright {
namespace {

constexpr const char* kSoname = "libpq.so.5";

std::expected<Libpq, Error> load() {
  void* handle = ::dlopen(kSoname, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = ::dlerror();
    return std::unexpected(Error{"PostgreSQL: cannot load " + std::string(kSoname) + ": " +
                                 single_line(reason ? reason : "not found")});
  }
  Libpq library;
  std::string missing;
#define CERTWRIGHT_LIBPQ_RESOLVE(name)                                        \
  library.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (!library.name) missing.append(missing.empty() ? "" : ", ").append(#name);
  CERTWRIGHT_LIBPQ_FUNCTIONS(CERTWRIGHT_LIBPQ_RESOLVE)
#undef CERTWRIGHT_LIBPQ_RESOLVE
  // The handle stays open: the functions are used until the process ends.
  if (!missing.empty())
    return std::unexpected(Error{"PostgreSQL: " + std::string(kSoname) + " lacks " + missing +
                                 " (libpq 14 or later is needed)"});
  return library;
}

}  // namespace

std::expected<const Libpq*, Error> load_libpq() {
  static const std::expected<Libpq, Error> loaded = load();
  if (!loaded) return std::unexpected(loaded.error());
  return &*loaded;
}

}  // namespace certwright
