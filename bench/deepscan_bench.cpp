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

#include "deepscan/signature_scan.h"
#include "disk/block_source.h"
#include "disk/sector_reader.h"

namespace {

using namespace osprin;

void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
  put16(p, static_cast<std::uint16_t>(v));
  put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

// A small NTFS file record with one file name, an index block owned by
// record 64, and a FAT directory head, written over random bytes.
void plant(std::uint8_t* at, std::uint64_t n) {
  std::uint8_t* rec = at;
  std::memset(rec, 0, 1024);
  std::memcpy(rec, "FILE", 4);
  put16(rec + 4, 48);
  put16(rec + 20, 56);
  rec[22] = static_cast<std::uint8_t>(n & 1);
  put32(rec + 28, 1024);
  std::uint8_t* a = rec + 56;
  put32(a, 0x30);
  put32(a + 4, 112);
  put32(a + 16, 82);
  put16(a + 20, 24);
  put32(a + 24, 5);
  a[24 + 64] = 8;
  a[24 + 65] = 1;
  const char name[] = "file.txt";
  for (int i = 0; i < 8; ++i) put16(a + 24 + 66 + 2 * i, static_cast<std::uint16_t>(name[i]));
  put32(a + 112, 0xFFFFFFFFu);

  std::uint8_t* blk = at + 8192;
  std::memset(blk, 0, 4096);
  std::memcpy(blk, "INDX", 4);
  put32(blk + 24, 40);
  put32(blk + 32, 4096 - 24);
  put32(blk + 64 + 16, 64);

  std::uint8_t* head = at + 16384;
  std::memset(head, ' ', 64);
  head[0] = '.';
  head[32] = head[33] = '.';
  put16(head + 20, 0);
  put16(head + 26, static_cast<std::uint16_t>(3 + n % 1000));
  put16(head + 52, 0);
  put16(head + 58, 0);
}

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
  std::ofstream out(path + ".part", std::ios::binary | std::ios::trunc);
  std::vector<std::uint8_t> chunk(4u << 20);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t done = 0; done < size; done += chunk.size()) {
    auto* words = reinterpret_cast<std::uint64_t*>(chunk.data());
    for (std::size_t i = 0; i < chunk.size() / 8; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      words[i] = x;
    }
    for (std::size_t off = 0; off + 65536 <= chunk.size(); off += 65536) plant(chunk.data() + off, (done + off) >> 16);
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
  }
  out.close();
  std::filesystem::rename(path + ".part", path, ec);
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
  std::vector<std::uint8_t> buf(request);
  std::uint64_t total = 0;
  for (auto _ : state) {
    const std::uint64_t size = src->sizeBytes();
    for (std::uint64_t off = 0; off + request <= size; off += request) {
      src->readAt(off, buf.data(), request);
      benchmark::DoNotOptimize(buf.data());
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
