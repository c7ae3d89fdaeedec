#include "core/formats/timestamp_token.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <ctime>
#include <memory>
#include <optional>
#include <stdexcept>

#include "core/base/text.h"

namespace certwright {
namespace {

template <auto Free>
struct Freer {
  template <class T>
  void operator()(T* object) const {
    Free(object);
  }
};
using Request = std::unique_ptr<TS_REQ, Freer<TS_REQ_free>>;
using Response = std::unique_ptr<TS_RESP, Freer<TS_RESP_free>>;
using Imprint = std::unique_ptr<TS_MSG_IMPRINT, Freer<TS_MSG_IMPRINT_free>>;
using Algorithm = std::unique_ptr<X509_ALGOR, Freer<X509_ALGOR_free>>;
using Integer = std::unique_ptr<ASN1_INTEGER, Freer<ASN1_INTEGER_free>>;
using Store = std::unique_ptr<X509_STORE, Freer<X509_STORE_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO_free>>;

struct CertificatesFree {
  void operator()(STACK_OF(X509) * certificates) const {
    sk_X509_pop_free(certificates, X509_free);
  }
};

std::string sha256_of(std::string_view bytes) {
  std::string digest(32, '\0');
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(digest.data()), &size,
                 EVP_sha256(), nullptr) != 1 ||
      size != digest.size())
    throw std::runtime_error("SHA-256 failed");
  return digest;
}

// OpenSSL's reasons for the last failure, most general first, and the queue emptied.
std::string openssl_reasons() {
  std::string text;
  const char* data = nullptr;
  int flags = 0;
  while (const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
    const char* reason = ERR_reason_error_string(code);
    text.append(text.empty() ? "" : "; ").append(reason ? reason : "unknown OpenSSL error");
    if ((flags & ERR_TXT_STRING) != 0 && data && *data) text.append(" (").append(data).append(")");
  }
  return text.empty() ? "unknown OpenSSL error" : single_line(text);
}

std::unexpected<Error> fail(std::string reason) {
  ERR_clear_error();
  return std::unexpected(Error{std::move(reason)});
}

const char* status_name(long status) {
  switch (status) {
    case 0:
      return "granted";
    case 1:
      return "grantedWithMods";
    case 2:
      return "rejection";
    case 3:
      return "waiting";
    case 4:
      return "revocationWarning";
    case 5:
      return "revocationNotification";
    default:
      return "unknown";
  }
}

std::expected<Response, Error> read_response(std::string_view der) {
  const auto* next = reinterpret_cast<const unsigned char*>(der.data());
  Response response(d2i_TS_RESP(nullptr, &next, static_cast<long>(der.size())));
  if (!response) return fail("not a time-stamp response (" + openssl_reasons() + ")");
  if (next != reinterpret_cast<const unsigned char*>(der.data()) + der.size())
    return fail("not a time-stamp response (bytes after its end)");
  TS_STATUS_INFO* info = TS_RESP_get_status_info(response.get());
  const long status = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(info));
  if (status != 0 && status != 1) {
    std::string reason = "status " + std::string(status_name(status));
    if (const auto* texts = TS_STATUS_INFO_get0_text(info); texts && sk_ASN1_UTF8STRING_num(texts))
      for (int at = 0; at < sk_ASN1_UTF8STRING_num(texts); ++at) {
        const ASN1_UTF8STRING* line = sk_ASN1_UTF8STRING_value(texts, at);
        reason += ": " + quoted_excerpt({reinterpret_cast<const char*>(ASN1_STRING_get0_data(line)),
                                         static_cast<std::size_t>(ASN1_STRING_length(line))});
      }
    return fail(reason);
  }
  if (!TS_RESP_get_token(response.get()) || !TS_RESP_get_tst_info(response.get()))
    return fail("status granted but no token");
  return response;
}

std::optional<UtcTime> time_of(const ASN1_GENERALIZEDTIME* time) {
  std::tm fields{};
  if (!time || ASN1_TIME_to_tm(time, &fields) != 1) return std::nullopt;
  return UtcTime{static_cast<std::int64_t>(timegm(&fields)), 0};
}

std::string subject_of(X509* certificate) {
  const Bio out(BIO_new(BIO_s_mem()));
  if (!out ||
      X509_NAME_print_ex(out.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) < 0)
    return "(unprintable subject)";
  char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

// The token's own checks, then its signature and its signer's chain in `store` at the token's
// time: what both certwright-attest and the verifier require.
std::expected<TimestampToken, Error> verify_token(TS_RESP* response, std::string_view imprint,
                                                  const std::optional<std::uint64_t>& nonce,
                                                  X509_STORE* store) {
  TS_TST_INFO* info = TS_RESP_get_tst_info(response);
  if (TS_TST_INFO_get_version(info) != 1)
    return fail("token version " + std::to_string(TS_TST_INFO_get_version(info)) + ", not 1");
  TS_MSG_IMPRINT* token_imprint = TS_TST_INFO_get_msg_imprint(info);
  const ASN1_OBJECT* algorithm = nullptr;
  X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(token_imprint));
  if (OBJ_obj2nid(algorithm) != NID_sha256) return fail("the token's imprint is not a SHA-256");
  const ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(token_imprint);
  if (std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(digest)),
                       static_cast<std::size_t>(ASN1_STRING_length(digest))) != imprint)
    return fail("the token's imprint is not the SHA-256 of this envelope's signature");
  if (nonce) {
    const Integer expected(ASN1_INTEGER_new());
    if (!expected || ASN1_INTEGER_set_uint64(expected.get(), *nonce) != 1)
      throw std::runtime_error("OpenSSL could not hold a nonce");
    const ASN1_INTEGER* found = TS_TST_INFO_get_nonce(info);
    if (!found || ASN1_INTEGER_cmp(found, expected.get()) != 0)
      return fail("the token's nonce is not the request's");
  }
  const auto time = time_of(TS_TST_INFO_get_time(info));
  if (!time) return fail("the token's genTime is unreadable");
  // The signer's certificate must be valid when it signed, not necessarily now.
  X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store), static_cast<time_t>(time->unix_seconds));
  X509* signer = nullptr;
  if (TS_RESP_verify_signature(TS_RESP_get_token(response), nullptr, store, &signer) != 1)
    return fail("the token does not verify: " + openssl_reasons());
  const Certificate held(signer);
  return TimestampToken{subject_of(signer), *time};
}

}  // namespace

TimestampRequest timestamp_request(std::string_view signature) {
  TimestampRequest request{.der = {}, .imprint = sha256_of(signature), .nonce = 0};
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&request.nonce), sizeof request.nonce) != 1)
    throw std::runtime_error("no random bytes for a nonce");
  const Request query(TS_REQ_new());
  const Imprint imprint(TS_MSG_IMPRINT_new());
  const Algorithm algorithm(X509_ALGOR_new());
  const Integer nonce(ASN1_INTEGER_new());
  if (!query || !imprint || !algorithm || !nonce ||
      X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) != 1 ||
      TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) != 1 ||
      TS_MSG_IMPRINT_set_msg(imprint.get(),
                             reinterpret_cast<unsigned char*>(request.imprint.data()),
                             static_cast<int>(request.imprint.size())) != 1 ||
      TS_REQ_set_version(query.get(), 1) != 1 ||
      TS_REQ_set_msg_imprint(query.get(), imprint.get()) != 1 ||
      ASN1_INTEGER_set_uint64(nonce.get(), request.nonce) != 1 ||
      TS_REQ_set_nonce(query.get(), nonce.get()) != 1 || TS_REQ_set_cert_req(query.get(), 1) != 1)
    throw std::runtime_error("OpenSSL could not build a time-stamp request");
  unsigned char* der = nullptr;
  const int size = i2d_TS_REQ(query.get(), &der);
  if (size <= 0) throw std::runtime_error("OpenSSL could not encode a time-stamp request");
  request.der.assign(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  return request;
}

std::expected<TimestampToken, Error> check_timestamp_reply(std::string_view response,
                                                           const TimestampRequest& request) {
  auto read = read_response(response);
  if (!read) return std::unexpected(read.error());
  // No root is known here: the token must verify under the certificates it carries, each taken
  // as an anchor, so that a token whose signer lacks the timeStamping usage, or whose signature
  // is broken, is never written into a bundle.
  const Store store(X509_STORE_new());
  if (!store) throw std::runtime_error("OpenSSL could not make a certificate store");
  PKCS7* token = TS_RESP_get_token(read->get());
  if (!PKCS7_type_is_signed(token)) return fail("the token is not signed data");
  const STACK_OF(X509)* carried = token->d.sign->cert;
  for (int at = 0; at < sk_X509_num(carried); ++at)
    if (X509_STORE_add_cert(store.get(), sk_X509_value(carried, at)) != 1)
      return fail("the token's certificates are unusable: " + openssl_reasons());
  X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
  return verify_token(read->get(), request.imprint, request.nonce, store.get());
}

std::expected<TimestampToken, Error> verify_timestamp(std::string_view response,
                                                      std::string_view signature,
                                                      std::span<const std::string> roots) {
  auto read = read_response(response);
  if (!read) return std::unexpected(read.error());
  const Store store(X509_STORE_new());
  if (!store) throw std::runtime_error("OpenSSL could not make a certificate store");
  for (const std::string& der : roots) {
    const auto* next = reinterpret_cast<const unsigned char*>(der.data());
    const Certificate root(d2i_X509(nullptr, &next, static_cast<long>(der.size())));
    if (!root || X509_STORE_add_cert(store.get(), root.get()) != 1)
      throw std::runtime_error("a trusted authority certificate is unusable");
  }
  return verify_token(read->get(), sha256_of(signature), std::nullopt, store.get());
}

std::expected<std::vector<std::string>, Error> read_pem_certificates(std::string_view pem) {
  const Bio in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!in) throw std::runtime_error("OpenSSL could not read memory");
  std::vector<std::string> certificates;
  while (true) {
    Certificate certificate(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    if (!certificate) break;
    unsigned char* der = nullptr;
    const int size = i2d_X509(certificate.get(), &der);
    if (size <= 0) return fail("a certificate could not be encoded: " + openssl_reasons());
    certificates.emplace_back(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
    OPENSSL_free(der);
  }
  // The loop ends at the end of the text (no further start line) or at a block that is no
  // certificate.
  const unsigned long last = ERR_peek_last_error();
  if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)
    ERR_clear_error();
  if (ERR_peek_error() != 0)
    return fail("certificate " + std::to_string(certificates.size() + 1) +
                " is unreadable: " + openssl_reasons());
  if (certificates.empty()) return fail("no PEM CERTIFICATE block");
  return certificates;
}

}  // namespace certwright
