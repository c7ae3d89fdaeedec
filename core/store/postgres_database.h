// The index kept on a PostgreSQL server, shared by many runners.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "core/base/error.h"
#include "core/store/sql_database.h"

namespace certwright {

// Whether `db` names a PostgreSQL server ("postgresql://..." or "postgres://...") rather than a
// SQLite file.
bool is_postgres_address(std::string_view db);

// A connection made with libpq's connection string `conninfo`; the password comes from it or
// from libpq's usual places (PGPASSWORD, ~/.pgpass). The error never holds the password, nor
// the connection string: a server that cannot be reached or refuses the login is named by its
// host and database alone.
std::expected<std::unique_ptr<SqlDatabase>, Error> open_postgres_database(
    const std::string& conninfo);

}  // namespace certwright
