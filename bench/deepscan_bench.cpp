// Throughput of the deep scan's signature pass next to plain sequential
// reads of the same image.
//
// OSPRIN_BENCH_IMAGE=PATH scans an existing image or disk; otherwise an image
// of OSPRIN_BENCH_GIB GiB (default 4) is made once in the temporary folder:
// pseudo-random bytes with an NTFS file record, an index block and a FAT
// sub-directory head every 64 KiB, so that the recognisers have work to do.
// The plain reads come first and warm the page cache for the scans that
// follow; run twice to compare a warm cache throughout.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_images.h"
#include "deepscan/signature_scan.h"
#include "disk/block_source.h"
#include "disk/sector_reader.h"

namespace {

using namespace osprin;

std::string benchImage() {
  if (const char* p = std::getenv("OSPRIN_BENCH_IMAGE")) return p;
  std::uint64_t gib = 4;
  if (const char* g = std::getenv("OSPRIN_BENCH_GIB")) gib = std::strtoull(g, nullptr, 10);
  if (gib == 0) gib = 4;
  const std::uint64_t size = gib << 30;
  const std::string path = (std::filesystem::temp_directory_path() / ("osprin-deepscan-bench-" + std::to_string(gib) + "g.img")).string();
  std::error_code ec;
  if (std::filesystem::exists(path, ec) && std::filesystem::file_size(path, ec) == size) return path;
  std::fprintf(stderr, "making %s (%llu GiB)...\n", path.c_str(), static_cast<unsigned long long>(gib));
  if (!bench::writeDeepScanImage(path, size)) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return path;
}

const std::string& image() {
  static const std::string path = benchImage();
  return path;
}

std::unique_ptr<FileBlockSource> openImage(benchmark::State& state) {
  std::string err;
  auto src = FileBlockSource::open(image(), err);
  if (!src) state.SkipWithError(err.c_str());
  return src;
}

void reportBytes(benchmark::State& state, std::uint64_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
}

// Plain sequential reads of the whole image in requests of `range(0)` KiB.
void BM_SequentialRead(benchmark::State& state) {
  auto src = openImage(state);
  if (!src) return;
  const std::size_t request = static_cast<std::size_t>(state.range(0)) * 1024;
  // Page-aligned, as the scan's own buffers: the kernel copies into an
  // unaligned buffer at a fraction of its speed on some processors.
  std::unique_ptr<std::uint8_t, decltype(&std::free)> buf(
      static_cast<std::uint8_t*>(std::aligned_alloc(4096, (request + 4095) / 4096 * 4096)), &std::free);
  if (!buf) return;
  std::uint64_t total = 0;
  for (auto _ : state) {
    const std::uint64_t size = src->sizeBytes();
    for (std::uint64_t off = 0; off + request <= size; off += request) {
      src->readAt(off, buf.get(), request);
      benchmark::DoNotOptimize(buf.get());
    }
    total += size / request * request;
  }
  reportBytes(state, total);
}
BENCHMARK(BM_SequentialRead)->Arg(30)->Arg(2048)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

template <bool Ntfs>
void BM_SignatureScan(benchmark::State& state) {
  auto src = openImage(state);
  if (!src) return;
  SectorReader reader(std::move(src));
  Selection sel;
  sel.fsType = Ntfs ? FsType::Ntfs : FsType::Fat32;
  const std::uint64_t sectors = std::min<std::uint64_t>(reader.totalSectors(), 0xFFFFFFFFull);
  sel.rangeStart = 0;
  sel.rangeEnd = static_cast<SectorNo>(sectors);
  sel.rangeLength = static_cast<SectorNo>(sectors);
  StopFlag stop{0};
  std::uint64_t total = 0;
  std::size_t found = 0;
  for (auto _ : state) {
    DeepScanResults r;
    if (Ntfs)
      scanNtfsSignatures(reader, sel, static_cast<std::uint32_t>(state.range(0)), r, stop, nullObserver());
    else
      scanFatSignatures(reader, sel, static_cast<std::uint32_t>(state.range(0)), r, stop, nullObserver());
    found = r.dirHeadHits.size() + r.ntfsFileRecords.size() + r.indexBlockHits.size();
    total += sectors * kSectorSize;
  }
  state.counters["found"] = static_cast<double>(found);
  reportBytes(state, total);
}
BENCHMARK_TEMPLATE(BM_SignatureScan, false)
    ->Name("BM_FatSignatureScan")
    ->Arg(60)
    ->Arg(8)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_SignatureScan, true)
    ->Name("BM_NtfsSignatureScan")
    ->Arg(60)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
