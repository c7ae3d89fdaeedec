// libpq, loaded when a PostgreSQL store is first named rather than when the program starts: the
// library and the twenty it brings (Kerberos, LDAP, GnuTLS) cost every SQLite query two thirds of
// its instructions (15.1 million for `certwright-index --version` against 5.1 million without).
// The functions keep the types libpq-fe.h declares.
#pragma once

#include <libpq-fe.h>

#include <expected>

#include "core/base/error.h"

namespace certwright {

#define CERTWRIGHT_LIBPQ_FUNCTIONS(F) \
  F(PQclear)                          \
  F(PQconnectdbParams)                \
  F(PQconninfoFree)                   \
  F(PQconninfoParse)                  \
  F(PQenterPipelineMode)              \
  F(PQerrorMessage)                   \
  F(PQexec)                           \
  F(PQexecParams)                     \
  F(PQexecPrepared)                   \
  F(PQexitPipelineMode)               \
  F(PQfinish)                         \
  F(PQfreemem)                        \
  F(PQftype)                          \
  F(PQgetResult)                      \
  F(PQgetisnull)                      \
  F(PQgetlength)                      \
  F(PQgetvalue)                       \
  F(PQnfields)                        \
  F(PQntuples)                        \
  F(PQpipelineStatus)                 \
  F(PQpipelineSync)                   \
  F(PQprepare)                        \
  F(PQresultErrorMessage)             \
  F(PQresultStatus)                   \
  F(PQsendQueryPrepared)              \
  F(PQsetNoticeProcessor)             \
  F(PQstatus)

struct Libpq {
#define CERTWRIGHT_LIBPQ_MEMBER(name) decltype(&::name) name = nullptr;
  CERTWRIGHT_LIBPQ_FUNCTIONS(CERTWRIGHT_LIBPQ_MEMBER)
#undef CERTWRIGHT_LIBPQ_MEMBER
};

// The library as the libpq5 package installs it (libpq.so.5), loaded once and kept; the loader's
// reason when it or one of the functions cannot be found.
std::expected<const Libpq*, Error> load_libpq();

}  // namespace certwright
