// The index kept in one SQLite file.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "core/base/error.h"
#include "core/store/sql_database.h"

namespace certwright {

// A connection to the SQLite file at `path`, created empty (mode 0600) when nothing is there.
// A path that is a symbolic link, a directory, a FIFO or anything but a regular file is refused
// and never opened; so is a file that cannot be opened for writing. Whether the file is a
// database at all, and ours, is for the schema to find out: nothing is written to it here.
std::expected<std::unique_ptr<SqlDatabase>, Error> open_sqlite_database(const std::string& path);

}  // namespace certwright
