#include "search/match.h"

#include <algorithm>

#include "common/text.h"

namespace osprin {

namespace {

// True when seg (with '?' as any one character) equals name[at, at+len).
bool segmentAt(std::string_view name, std::size_t at, std::string_view seg) {
  if (at > name.size() || name.size() - at < seg.size()) return false;
  for (std::size_t i = 0; i < seg.size(); ++i)
    if (seg[i] != '?' && seg[i] != name[at + i]) return false;
  return true;
}

// The first position at or after from where seg stands in name; npos when none.
std::size_t findSegment(std::string_view name, std::size_t from, std::string_view seg) {
  if (from > name.size() || name.size() - from < seg.size()) return std::string_view::npos;
  for (std::size_t at = from; at + seg.size() <= name.size(); ++at)
    if (segmentAt(name, at, seg)) return at;
  return std::string_view::npos;
}

}  // namespace

bool MatchName(std::string_view name, std::string_view pattern) {
  if (name.empty() || pattern.empty()) return false;
  const bool hasStar = pattern.find('*') != std::string_view::npos;
  if (!hasStar && pattern.size() > name.size()) return false;
  if (pattern == "*") return true;
  if (pattern == "*.*") return name.find('.') != std::string_view::npos;
  if (!hasStar && pattern.find('?') == std::string_view::npos) return name.find(pattern) != std::string_view::npos;

  // Wildcard comparison. The part before the first '*' is anchored at the
  // start of the name.
  const std::size_t firstStar = pattern.find('*');
  const std::string_view head = pattern.substr(0, firstStar);
  if (!segmentAt(name, 0, head)) return false;
  if (!hasStar) return true;  // compared to its end: the rest of the name is free

  std::size_t pos = head.size();
  std::size_t p = firstStar;
  while (p < pattern.size()) {
    // p stands on a '*'; a run of them counts as one.
    while (p < pattern.size() && pattern[p] == '*') ++p;
    if (p == pattern.size()) return true;  // a final '*' takes the rest of the name
    std::size_t next = pattern.find('*', p);
    std::string_view seg = pattern.substr(p, next == std::string_view::npos ? std::string_view::npos : next - p);
    if (next == std::string_view::npos) {
      // The last literal part must end the name.
      if (name.size() < pos || name.size() - pos < seg.size()) return false;
      return segmentAt(name, name.size() - seg.size(), seg);
    }
    std::size_t at = findSegment(name, pos, seg);
    if (at == std::string_view::npos) return false;
    pos = at + seg.size();
    p = next;
  }
  return true;
}

std::string_view filterAddMessage(FilterAddResult r) {
  switch (r) {
    case FilterAddResult::Added:
      return "";
    case FilterAddResult::TableFull:
      return "      You cannot add more Filters     ";
    case FilterAddResult::TooLong:
      return "      Filter too long     ";
    case FilterAddResult::Blank:
      return "      You can not add a blank entry.     ";
    case FilterAddResult::AlreadyExists:
      return "      Filter already exists in the list     ";
  }
  return "";
}

FilterAddResult FilterTable::check(std::string_view pattern) const {
  if (filters_.size() >= kMaxFilters) return FilterAddResult::TableFull;
  if (pattern.size() > kMaxLength) return FilterAddResult::TooLong;
  if (pattern.empty()) return FilterAddResult::Blank;
  if (std::find(filters_.begin(), filters_.end(), pattern) != filters_.end()) return FilterAddResult::AlreadyExists;
  return FilterAddResult::Added;
}

FilterAddResult FilterTable::insertFront(std::string_view pattern) {
  FilterAddResult r = check(pattern);
  if (r != FilterAddResult::Added) return r;
  filters_.insert(filters_.begin(), std::string(pattern));
  upper_.insert(upper_.begin(), asciiUpper(pattern));
  return r;
}

FilterAddResult FilterTable::append(std::string_view pattern) {
  FilterAddResult r = check(pattern);
  if (r != FilterAddResult::Added) return r;
  filters_.emplace_back(pattern);
  upper_.push_back(asciiUpper(pattern));
  return r;
}

bool FilterTable::removeAt(std::size_t i) {
  if (i >= filters_.size()) return false;
  filters_.erase(filters_.begin() + static_cast<std::ptrdiff_t>(i));
  upper_.erase(upper_.begin() + static_cast<std::ptrdiff_t>(i));
  return true;
}

void FilterTable::assign(const std::vector<std::string>& patterns) {
  filters_.clear();
  upper_.clear();
  for (const auto& p : patterns) {
    if (filters_.size() >= kMaxFilters) break;
    if (p.empty()) continue;
    filters_.push_back(p.substr(0, kMaxLength));
    upper_.push_back(asciiUpper(filters_.back()));
  }
}

namespace {
bool passesUpper(const std::vector<std::string>& upper, std::string_view name) {
  if (upper.empty()) return true;
  const std::string n = asciiUpper(name);
  for (const auto& p : upper)
    if (MatchName(n, p)) return true;
  return false;
}
}  // namespace

bool FilterTable::passes(std::string_view name) const { return passesUpper(upper_, name); }

FileFilter FilterTable::fileFilter() const {
  if (upper_.empty()) return {};
  return [upper = upper_](std::string_view name) { return passesUpper(upper, name); };
}

}  // namespace osprin
