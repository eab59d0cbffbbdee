#include <array>

#include "common/text.h"
#include "volume/walkers.h"

namespace osprin {

ScanOutcome runStandardScan(SectorReader& reader, const Selection& sel, VolumeParams& vp, MftRuns& runs,
                            FileTree& tree, StopFlag& stop, Observer& obs) {
  bool ok = readVolumeParams(reader, sel, vp);
  stop.store(0);  // a Stop pressed before this point is forgotten
  if (!ok) {
    std::array<std::uint8_t, kSectorSize> boot{};
    if (!reader.readSectors(sel.rangeStart, 1, boot.data()))
      obs.warning("the boot sector of the volume (sector " + dec(sel.rangeStart) +
                  ") could not be read; its geometry is worked out from the rest of the volume");
    obs.status("Calculating partition parameters");
    ok = calculateVolumeParams(reader, sel, vp, stop, obs);
    obs.status("");
  }
  // A selection that names no file system has nothing to walk.
  if (ok && !isFat(vp.fsType) && vp.fsType != FsType::Ntfs) ok = false;
  if (!ok) {
    const bool aborted = stop.load() == 1;
    obs.message(MsgKind::Error, aborted ? "Recovery procedure aborted by user"
                                        : "Recovery is not possible in Standard scan, use Sdvance scan");
    stop.store(0);
    obs.stopVisible(false);
    return aborted ? ScanOutcome::Aborted : ScanOutcome::Failed;
  }

  // The information panel in standard-scan mode.
  obs.counter("Folder(s) Found", 0);
  obs.counter("File(s) Found", 0);
  obs.counter("Current Sector", 0);
  obs.text("Last File/Folder", "");
  if (vp.fsType != FsType::Ntfs) obs.status("Mounting volume, please wait...");

  if (isFat(vp.fsType))
    walkFatVolume(reader, sel, vp, tree, stop, obs);
  else
    walkNtfsVolume(reader, vp, runs, tree, stop, obs);

  obs.message(MsgKind::Info, "If you don't find your file(s) or folder(s) here, you can use \"Advance scan\"");
  stop.store(0);
  return ScanOutcome::Done;
}

}  // namespace osprin
