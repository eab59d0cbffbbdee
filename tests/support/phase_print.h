// Readable test failures for what long work reports (PhaseInfo, Counter,
// TextField) instead of GoogleTest's bytes.
#pragma once

#include <ostream>

#include "common/observer.h"

namespace osprin {

inline void PrintTo(Phase p, std::ostream* os) { *os << "Phase(" << static_cast<int>(p) << ")"; }
inline void PrintTo(Counter c, std::ostream* os) { *os << "Counter(" << static_cast<int>(c) << ")"; }
inline void PrintTo(TextField f, std::ostream* os) { *os << "TextField(" << static_cast<int>(f) << ")"; }
inline void PrintTo(const PhaseInfo& p, std::ostream* os) {
  *os << "{Phase(" << static_cast<int>(p.phase) << "), " << p.n << ", " << p.of << "}";
}

}  // namespace osprin
