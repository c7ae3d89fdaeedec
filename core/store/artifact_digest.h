// An artifact's digest as the index keeps it: the 32 bytes that its 64 lower-case hex digits
// spell, and the digest index holds only their first 8 (substr(digest, 1, 8)), which finds a
// digest among millions just as well; any other text, which a certificate may carry under its
// seal, is kept as it is in a column beside. Artifact rows and their indexes took 183 bytes per
// artifact with the digest as text and a full digest index, against the large certificates'
// 105 bytes of JSON per artifact (the store at 2.97 times the certificates' bytes).
#pragma once

#include <string>
#include <string_view>

#include "core/store/sql_database.h"

namespace certwright {

// The two columns of one digest: (32 bytes, NULL) for 64 lower-case hex digits, (NULL, the
// text) for anything else.
struct DigestColumns {
  SqlValue digest;
  SqlValue digest_text;
};

DigestColumns digest_columns(std::string_view text);

// The digest's text back from its columns, exactly as the certificate had it.
std::string digest_text_of(const SqlValue& digest, const SqlValue& digest_text);

// The 32 bytes that 64 lower-case hex digits spell, as the digest column holds them; `hex` must
// be such digits (a query's digest is checked as the command line is read).
std::string digest_bytes(std::string_view hex);

// What the digest index holds of a digest column's value: its first 8 bytes.
inline std::string digest_key(std::string_view bytes) {
  return std::string(bytes.substr(0, 8));
}

}  // namespace certwright
