// osprin-benchgen: makes the synthetic images of bench/run-bench.sh.
//
//   osprin-benchgen deep PATH GIB       deep-scan image of GIB GiB
//   osprin-benchgen records PATH COUNT  COUNT NTFS file records back to back
//   osprin-benchgen volume PATH COUNT   NTFS volume whose MFT holds COUNT files
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_images.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s deep PATH GIB | records PATH COUNT | volume PATH COUNT\n", argv[0]);
    return 2;
  }
  const std::string kind = argv[1], path = argv[2];
  const unsigned long long n = std::strtoull(argv[3], nullptr, 10);
  bool ok = false;
  if (kind == "deep" && n > 0)
    ok = osprin::bench::writeDeepScanImage(path, static_cast<std::uint64_t>(n) << 30);
  else if (kind == "records" && n > 0)
    ok = osprin::bench::writeFileRecordImage(path, n);
  else if (kind == "volume" && n > 0 && n < 4000000000ull)
    ok = osprin::bench::writeNtfsVolumeImage(path, n);
  else {
    std::fprintf(stderr, "usage: %s deep PATH GIB | records PATH COUNT | volume PATH COUNT\n", argv[0]);
    return 2;
  }
  if (!ok) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  return 0;
}
