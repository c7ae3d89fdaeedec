// The index's tables: created on first use, migrated forward, and refused when not ours.
#pragma once

#include <cstdint>
#include <expected>

#include "core/base/error.h"
#include "core/store/sql_database.h"

namespace certwright {

// The schema version this program writes and reads.
inline constexpr std::int64_t kStoreSchemaVersion = 2;

// Makes `db` ready for use: an empty database gets the tables; one of an older schema version is
// migrated forward, one step a transaction; one of ours at this version is left as it is. A
// SQLite file that holds anything else, or is no database at all, is refused without a byte of
// it written; so is a store of a newer version than this program knows. SQLite files are
// switched to write-ahead logging once they are known to be ours.
std::expected<void, Error> prepare_store(SqlDatabase& db);

}  // namespace certwright
