// Owning holders for the OpenSSL objects this program uses.
#pragma once

#include <openssl/evp.h>

#include <memory>

namespace certwright {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

}  // namespace certwright
