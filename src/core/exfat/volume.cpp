#include "exfat/volume.h"

#include <algorithm>
#include <array>

namespace osprin {

ExfatGeometry exfatGeometry(const ExfatBootSector& b, SectorNo start) {
  ExfatGeometry g;
  const std::uint64_t u = b.units();
  const SectorNo fat0 = start + std::uint64_t{b.fatOffset} * u;
  g.fatUnits = std::uint64_t{b.fatLength} * u;
  const SectorNo fat1 = b.fatCount == 2 ? fat0 + g.fatUnits : 0;
  g.fatStart = b.activeFat() == 1 ? fat1 : fat0;
  g.otherFatStart = b.activeFat() == 1 ? fat0 : fat1;
  g.clusterUnits = b.clusterUnits();
  g.clusterBase = start + std::uint64_t{b.heapOffset} * u - kExfatFirstCluster * g.clusterUnits;
  g.clusterCount = b.clusterCount;
  g.rootCluster = b.rootCluster;
  return g;
}

std::optional<ExfatBootSector> readExfatBootAt(SectorReader& reader, SectorNo start) {
  std::array<std::uint8_t, kSectorSize> s{};
  if (reader.readSectors(start, 1, s.data()))
    if (auto b = readExfatBootSector(Bytes(s))) return b;
  for (std::uint8_t shift = 9; shift <= 12; ++shift) {
    const std::uint64_t u = (std::uint64_t{1} << shift) / kSectorSize;
    s.fill(0);
    if (!reader.readSectors(start + kExfatBackupBootSector * u, 1, s.data())) continue;
    if (auto b = readExfatBootSector(Bytes(s)); b && b->bytesPerSectorShift == shift) return b;
  }
  return std::nullopt;
}

ExfatExtent exfatClusters(FatTable& fat, const ExfatGeometry& g, std::uint32_t first, std::uint64_t bytes,
                          bool contiguous, bool guessContiguous, std::uint64_t limitBytes) {
  ExfatExtent e;
  const std::uint64_t cb = g.clusterBytes();
  if (cb == 0 || !g.validCluster(first)) return e;
  std::uint64_t want = bytes == 0 ? limitBytes : std::min(bytes, limitBytes);
  std::uint64_t count = (want + cb - 1) / cb;
  if (count == 0) return e;
  // Never past the heap's last cluster.
  const std::uint64_t room = g.clusterCount - (first - kExfatFirstCluster);
  auto contiguousRun = [&] {
    e.clusters.clear();
    const std::uint64_t n = std::min(count, room);
    e.clusters.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) e.clusters.push_back(static_cast<std::uint32_t>(first + i));
  };
  if (contiguous) {
    contiguousRun();
    return e;
  }
  FatTable::Chain chain = fat.follow(first, count);
  e.unreadable = chain.unreadable;
  // A chain into clusters outside the heap ends before them.
  auto bad = std::find_if(chain.clusters.begin(), chain.clusters.end(), [&](std::uint32_t c) { return !g.validCluster(c); });
  chain.clusters.erase(bad, chain.clusters.end());
  const bool whole = bytes == 0 ? !chain.clusters.empty() : chain.clusters.size() == count;
  if (!whole && guessContiguous) {
    contiguousRun();
    e.guessed = e.clusters.size() > 1;
    return e;
  }
  e.clusters = std::move(chain.clusters);
  return e;
}

std::vector<std::uint8_t> readExfatClusters(SectorReader& reader, const ExfatGeometry& g,
                                            const std::vector<std::uint32_t>& clusters, std::uint64_t maxBytes,
                                            std::uint64_t* unreadable, SectorNo* firstUnreadable) {
  const std::uint64_t cb = g.clusterBytes();
  const std::uint64_t total = std::min<std::uint64_t>(clusters.size() * cb, maxBytes);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(total), 0);
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < clusters.size() && at < total;) {
    std::size_t j = i + 1;
    while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1) ++j;
    const std::uint64_t n = std::min<std::uint64_t>((j - i) * cb, total - at);
    const SectorNo first = g.clusterSector(clusters[i]);
    const std::uint64_t units = (n + kSectorSize - 1) / kSectorSize;
    // In requests of at most 8 MiB.
    for (std::uint64_t done = 0; done < units;) {
      const std::uint64_t k = std::min<std::uint64_t>(units - done, 16384);
      const std::uint64_t bytes = std::min<std::uint64_t>(k * kSectorSize, n - done * kSectorSize);
      std::vector<SectorRange> bad;
      if (bytes % kSectorSize == 0) {
        reader.readSectorsClearing(first + done, static_cast<std::uint32_t>(k), out.data() + at + done * kSectorSize, &bad);
      } else {
        std::vector<std::uint8_t> tmp(static_cast<std::size_t>(k * kSectorSize), 0);
        reader.readSectorsClearing(first + done, static_cast<std::uint32_t>(k), tmp.data(), &bad);
        std::copy_n(tmp.data(), bytes, out.data() + at + done * kSectorSize);
      }
      for (const SectorRange& r : bad) {
        if (unreadable && *unreadable == 0 && firstUnreadable) *firstUnreadable = r.first;
        if (unreadable) *unreadable += r.count;
        // Not zeros, which would end a folder at the first entry there.
        const std::uint64_t from = at + (r.first - first) * kSectorSize;
        const std::uint64_t to = std::min<std::uint64_t>(total, from + r.count * kSectorSize);
        if (from < to) std::fill(out.begin() + static_cast<std::ptrdiff_t>(from), out.begin() + static_cast<std::ptrdiff_t>(to), kExfatUnreadFill);
      }
      done += k;
    }
    at += n;
    i = j;
  }
  return out;
}

}  // namespace osprin
