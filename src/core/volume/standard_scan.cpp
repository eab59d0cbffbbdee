#include <array>

#include "common/bytes.h"
#include "common/text.h"
#include "exfat/boot_sector.h"
#include "fat/boot_sector.h"
#include "volume/walkers.h"

namespace osprin {

std::string volumeBeyondDiskWarning(SectorReader& reader, const Selection& sel) {
  const std::uint64_t disk = reader.totalSectors();
  if (disk == 0) return {};
  std::uint64_t claimed = std::uint64_t{sel.rangeEnd} + 1 > sel.rangeStart ? std::uint64_t{sel.rangeEnd} + 1 - sel.rangeStart : 0;
  std::array<std::uint8_t, kSectorSize> boot{};
  if (sel.rangeStart < disk && reader.readSectors(sel.rangeStart, 1, boot.data()) && hasBootSignature(Bytes(boot))) {
    const Bytes b(boot);
    std::uint64_t own = 0;
    // The boot sector counts its own sectors: in 512-byte units here.
    const std::uint64_t u = isSectorSize(rd16(b, 11)) ? rd16(b, 11) / kSectorSize : 0;
    if (sel.fsType == FsType::Ntfs && hasText(b, 3, "NTFS") && u != 0 && rd64(b, 40) < kSectorNoLimit)
      own = (rd64(b, 40) + 1) * u;  // the backup boot sector follows the counted sectors
    else if (isFat(sel.fsType) && u != 0)
      own = readFatBootSector(b).totalSectors * u;
    else if (sel.fsType == FsType::Exfat)
      if (const auto ex = readExfatBootSector(b); ex && ex->volumeLength < kSectorNoLimit / ex->units())
        own = ex->volumeLength * ex->units();
    claimed = std::max(claimed, own);
  }
  const std::uint64_t end = std::uint64_t{sel.rangeStart} + claimed;
  if (claimed == 0 || end <= disk) return {};
  // Told in the disk's own sectors.
  const std::uint64_t u = reader.unitsPerSector();
  return "The volume at sector " + dec(sel.rangeStart / u) + " claims " + dec(claimed / u) + " sectors (to sector " +
         dec((end - 1) / u) + "), but the disk has only " + dec(disk / u) + " sectors: what lies past sector " +
         dec(disk / u - 1) + " is missing, so files and folders there cannot be listed or recovered";
}

ScanOutcome runStandardScan(SectorReader& reader, const Selection& sel, VolumeParams& vp, MftRuns& runs,
                            FileTree& tree, StopFlag& stop, Observer& obs) {
  bool ok = readVolumeParams(reader, sel, vp);
  stop.store(0);  // a Stop pressed before this point is forgotten
  if (const std::string w = volumeBeyondDiskWarning(reader, sel); !w.empty()) obs.message(MsgKind::Warning, w);
  if (!ok) {
    std::array<std::uint8_t, kSectorSize> boot{};
    if (!reader.readSectors(sel.rangeStart, 1, boot.data()))
      obs.warning("the boot sector of the volume (sector " + dec(sel.rangeStart) +
                  ") could not be read; its geometry is worked out from the rest of the volume");
    PhaseScope phase(obs, {Phase::CalculatingParameters});
    ok = calculateVolumeParams(reader, sel, vp, stop, obs);
  }
  // A selection that names no file system has nothing to walk.
  if (ok && !isKnownFsType(vp.fsType)) ok = false;
  if (!ok) {
    const bool aborted = stop.load() == 1;
    obs.message(MsgKind::Error, aborted ? "Recovery procedure aborted by user"
                                        : "Recovery is not possible in Standard scan, use Sdvance scan");
    stop.store(0);
    obs.stopVisible(false);
    return aborted ? ScanOutcome::Aborted : ScanOutcome::Failed;
  }

  // The information panel in standard-scan mode.
  obs.counter(Counter::FoldersFound, 0);
  obs.counter(Counter::FilesFound, 0);
  obs.counter(Counter::CurrentSector, 0);
  obs.text(TextField::LastFileFolder, "");
  if (vp.fsType != FsType::Ntfs) obs.phase({Phase::MountingVolume});

  if (isFat(vp.fsType))
    walkFatVolume(reader, sel, vp, tree, stop, obs);
  else if (vp.fsType == FsType::Exfat)
    walkExfatVolume(reader, vp, tree, stop, obs);
  else
    walkNtfsVolume(reader, vp, runs, tree, stop, obs);

  obs.message(MsgKind::Info, "If you don't find your file(s) or folder(s) here, you can use \"Advance scan\"");
  stop.store(0);
  return ScanOutcome::Done;
}

}  // namespace osprin
