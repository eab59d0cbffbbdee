// Snapshot files from anywhere: loading must never crash, and whatever loads
// must save and load again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "snapshot/snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace osprin;
  LoadedSnapshot first;
  std::string error;
  if (loadSnapshotBytes(std::span<const std::uint8_t>(data, size), first, error) != SnapshotLoadStatus::Ok) {
    if (error.empty()) __builtin_trap();  // every refusal explains itself
    return 0;
  }

  SnapshotSource src{first.selection, first.params, first.chosenFsIndex, &first.tree, {}, {}};
  std::vector<std::uint8_t> saved;
  if (!encodeSnapshot(src, saved, error)) __builtin_trap();  // a loaded tree always saves

  LoadedSnapshot second;
  if (loadSnapshotBytes(saved, second, error) != SnapshotLoadStatus::Ok) __builtin_trap();
  SnapshotSource again{second.selection, second.params, second.chosenFsIndex, &second.tree, {}, {}};
  std::vector<std::uint8_t> resaved;
  if (!encodeSnapshot(again, resaved, error) || resaved != saved) __builtin_trap();

  // The loaded tree is handed to the folder tree as a scanned one would be.
  if (second.params.fsType == FsType::Ntfs)
    second.tree.buildNtfsFolderTree();
  else
    second.tree.buildFatFolderTree();
  return 0;
}
