#pragma once
// Progress percentages of the deep scan's steps: capped at 99 while a step
// runs, and passed on only when the percentage moves.
#include <algorithm>
#include <cstdint>

#include "common/observer.h"

namespace osprin {

class StepProgress {
 public:
  explicit StepProgress(Observer& obs) : obs_(obs) {}
  // Sets the bar to part * 100 / whole (whole 0 counts as 1), at most 99.
  void set(std::uint64_t part, std::uint64_t whole) { setPercent(part * 100 / (whole == 0 ? 1 : whole)); }
  // Sets the bar to a percentage already computed (at most 99).
  void setPercent(std::uint64_t percent) {
    const int p = static_cast<int>(std::min<std::uint64_t>(99, percent));
    if (p == last_) return;
    last_ = p;
    obs_.progress(p);
  }
  // Sets the bar to 0 whatever it showed.
  void reset() {
    last_ = 0;
    obs_.progress(0);
  }
  // True when part * 100 / whole would show a new percentage.
  bool moves(std::uint64_t part, std::uint64_t whole) const {
    const auto p = static_cast<int>(std::min<std::uint64_t>(99, part * 100 / (whole == 0 ? 1 : whole)));
    return p != last_;
  }

 private:
  Observer& obs_;
  int last_ = -1;
};

}  // namespace osprin
