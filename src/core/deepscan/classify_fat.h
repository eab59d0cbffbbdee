#pragma once
// Classification of what a FAT deep scan found: file systems confirmed by a
// boot sector and the sub-directory heads at the places it predicts, then
// file systems derived from pairs of heads that fit one geometry.
#include <cstdint>
#include <string>

#include "common/observer.h"
#include "common/types.h"
#include "deepscan/deep_results.h"
#include "disk/sector_reader.h"
#include "volume/volume_params.h"

namespace osprin {

// The number of a found file system is kept in a signed 16-bit fsIndex, so
// no more than this many can be told apart.
constexpr std::size_t kMaxFoundFileSystems = 32767;

// Appends a found file system with the given label and fields.
void addFoundFileSystem(DeepScanResults& results, std::string label, const VolumeParams& fields);

// The FAT analysis: Phase::AnalysingFatData, classifiedCount
// 0, the boot-sector pass, then classifyFatByHeads. fsType (100 or 200) is
// the kind the user chose.
void analyseFoundFat(SectorReader& reader, FsType fsType, DeepScanResults& results, Observer& obs);

// Each boot sector of bootSectorHits, once and in order: marks the heads that
// lie where its geometry puts their clusters, and adds "FAT32 @" / "FAT16 @"
// followed by the volume's cluster base when it marked any.
void classifyFatByBootSectors(SectorReader& reader, DeepScanResults& results, Observer& obs);

// Each head not yet examined: fitFatGeometry looks for a later head that
// fits with it; a head that fits nothing gets fsIndex -1.
void classifyFatByHeads(FsType fsType, DeepScanResults& results, Observer& obs);

}  // namespace osprin
