// What certwright-index prints: query results as text lines or one JSON document, and one
// stored certificate's facts. Every text that came from a certificate is escaped.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "core/store/certificate_store.h"
#include "core/store/store_query.h"

namespace certwright {

// The first 16 digits of a certificate hash, as lines name a certificate.
std::string_view hash_prefix(std::string_view certificate_hash);

// One line per certificate, tab-separated: hash prefix, run id, trusted time, signer ("-" for
// none), key fingerprint, then each hit as "STAGE:ARTIFACT".
std::string query_text(std::span<const QueryMatch> matches);

// {"certificates": [...]}, one entry per certificate, pretty layout.
std::string query_json(std::span<const QueryMatch> matches);

// The stored certificate's facts, one per line, then its stages.
std::string show_text(const StoredCertificate& stored);

}  // namespace certwright
