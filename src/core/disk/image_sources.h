#pragma once
// The block sources of the image formats (one per library) and of split raw
// images, opened by openBlockSource after it has recognised the format.
#include <memory>
#include <string>
#include <vector>

#include "disk/block_source.h"

namespace osprin {

// EnCase images (.E01, .Ex01, ...) through libewf; the other segments are
// found from the first one's name.
std::unique_ptr<BlockSource> openEwfSource(const std::string& path, std::string& error, ImageInfo& info);
// VHD and VHDX through libvhdi.
std::unique_ptr<BlockSource> openVhdiSource(const std::string& path, std::string& error, ImageInfo& info);
// VMDK through libvmdk (a descriptor file with its extents, or one sparse file).
std::unique_ptr<BlockSource> openVmdkSource(const std::string& path, std::string& error, ImageInfo& info);
// QCOW and QCOW2 through libqcow.
std::unique_ptr<BlockSource> openQcowSource(const std::string& path, std::string& error, ImageInfo& info);

// The segments of a split raw image that path begins: NAME.001 or NAME.000
// (or any run of digits) followed by the same name with the next numbers,
// as far as they exist. One entry (path itself) when path does not end in a
// segment number or no next segment exists. When path ends in a number
// other than the first and the segment before it exists, error names the
// first segment and the list is empty.
std::vector<std::string> splitSegmentNames(const std::string& path, std::string& error);
// The segments joined into one disk, in order.
std::unique_ptr<BlockSource> openSplitRawSource(const std::vector<std::string>& segments, std::string& error);

}  // namespace osprin
