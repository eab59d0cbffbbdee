#pragma once
// Name patterns: the matcher shared by the file list, recovery and Find
// Files, and the table of up to 99 file filters.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tree/file_list.h"

namespace osprin {

// True when name matches pattern. Callers upper-case both sides first.
//  - an empty name or pattern never matches;
//  - a pattern without '*' that is longer than the name never matches;
//  - "*" matches every name, "*.*" every name holding a '.';
//  - a pattern without '*' and '?' matches when it occurs anywhere in the name;
//  - otherwise the pattern is compared from the left: '?' takes any one
//    character, the part before the first '*' must stand at the start of the
//    name (a pattern without '*' need not reach the end of the name, so ?BC
//    matches ABCD), each literal part after a '*' is looked for further on,
//    and a literal part that ends the pattern must end the name.
bool MatchName(std::string_view name, std::string_view pattern);

// Outcome of adding a filter through the File Filters dialog.
enum class FilterAddResult { Added, TableFull, TooLong, Blank, AlreadyExists };

// The dialog's message for a refused filter ("" for Added).
std::string_view filterAddMessage(FilterAddResult r);

// The filter table: at most 99 patterns of at most 19 characters each, in
// the order of the File Filters dialog's list (the newest first).
class FilterTable {
 public:
  static constexpr std::size_t kMaxFilters = 99;
  static constexpr std::size_t kMaxLength = 19;

  std::size_t filterCount() const { return filters_.size(); }
  bool empty() const { return filters_.empty(); }
  const std::vector<std::string>& filters() const { return filters_; }

  // The dialog's Add: checks in the dialog's order (table full, 20 characters
  // or more, blank, an exact case-sensitive duplicate) and inserts the new
  // pattern at the top.
  FilterAddResult insertFront(std::string_view pattern);
  // Appends at the end under the same checks (the command line's order).
  FilterAddResult append(std::string_view pattern);
  // Removes slot i; false when there is no such slot.
  bool removeAt(std::size_t i);
  // Replaces the table by the dialog's list, top to bottom; entries beyond
  // 99 and characters beyond 19 are dropped, blank entries skipped.
  void assign(const std::vector<std::string>& patterns);
  void clear() {
    filters_.clear();
    upper_.clear();
  }

  // The filter test: true when the table is empty or when the upper-cased
  // name matches one of the upper-cased patterns, tried in table order.
  // Folders are never filtered; callers ask only for files.
  bool passes(std::string_view name) const;
  // The same test for the file list; an empty function when the table is
  // empty (every file passes without a call).
  FileFilter fileFilter() const;

 private:
  FilterAddResult check(std::string_view pattern) const;
  std::vector<std::string> filters_;
  std::vector<std::string> upper_;  // filters_ upper-cased, same order
};

}  // namespace osprin
