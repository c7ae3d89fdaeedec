// A map from text to text, ordered by key byte by byte, held as one sorted array.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace certwright {

// The artifact maps of a large run hold a hundred thousand entries and are read in key order
// several times per run (hash view, signing view, file); one sorted array reads in one sequential
// pass and costs no tree node per entry. Inserting before the end moves the later entries, so a
// large map is built in key order with append_sorted; emplace and operator[] suit small maps.
class StringMap {
 public:
  using value_type = std::pair<std::string, std::string>;
  using const_iterator = std::vector<value_type>::const_iterator;
  using iterator = const_iterator;  // keys are never changed in place: the order depends on them

  StringMap() = default;
  // Of two entries with the same key the first is kept, as std::map does.
  StringMap(std::initializer_list<value_type> entries) {
    for (const value_type& entry : entries)
      emplace(entry.first, entry.second);
  }

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(std::size_t count) { entries_.reserve(count); }

  // Inserts the entry unless the key is present; the entry with that key and whether it is new.
  std::pair<const_iterator, bool> emplace(std::string key, std::string value) {
    const auto at = lower_bound(key);
    if (at != entries_.end() && at->first == key) return {at, false};
    return {entries_.emplace(at, std::move(key), std::move(value)), true};
  }

  // The value of `key`, inserted empty when absent.
  std::string& operator[](std::string_view key) {
    const auto at = lower_bound(key);
    if (at != entries_.end() && at->first == key) return at->second;
    return entries_.emplace(at, std::string(key), std::string())->second;
  }

  // Appends an entry whose key sorts after every key held (the caller guarantees it).
  void append_sorted(std::string key, std::string value) {
    entries_.emplace_back(std::move(key), std::move(value));
  }

  friend bool operator==(const StringMap&, const StringMap&) = default;

 private:
  std::vector<value_type>::iterator lower_bound(std::string_view key) {
    return std::lower_bound(
        entries_.begin(), entries_.end(), key,
        [](const value_type& entry, std::string_view k) { return entry.first < k; });
  }

  std::vector<value_type> entries_;
};

}  // namespace certwright
