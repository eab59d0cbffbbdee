// The fuzz targets' own expectations: a broken one stops the run like a
// crash, so libFuzzer keeps the input.
#pragma once

namespace osprin::fuzz {

inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace osprin::fuzz
