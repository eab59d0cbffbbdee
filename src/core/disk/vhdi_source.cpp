// VHD and VHDX images through libvhdi, read-only.
#include <libvhdi.h>

#include "disk/image_sources.h"
#include "disk/libyal.h"

namespace osprin {

namespace {

const libyal::Api<libvhdi_file_t, libvhdi_error_t> kApi{libvhdi_file_read_buffer_at_offset, libvhdi_file_close,
                                                        libvhdi_file_free, libvhdi_error_backtrace_sprint, libvhdi_error_free};

std::string message(libvhdi_error_t*& err) { return libyal::takeMessage(err, libvhdi_error_backtrace_sprint, libvhdi_error_free); }

}  // namespace

std::unique_ptr<BlockSource> openVhdiSource(const std::string& path, std::string& error, ImageInfo& info) {
  libvhdi_error_t* err = nullptr;
  libvhdi_file_t* f = nullptr;
  const std::string what = info.format == ImageFormat::Vhdx ? "a VHDX image" : "a VHD image";
  if (libvhdi_file_initialize(&f, &err) != 1) {
    error = "cannot open " + path + " as " + what + ": " + message(err);
    return nullptr;
  }
  auto fail = [&](const std::string& text) -> std::unique_ptr<BlockSource> {
    error = "cannot open " + path + " as " + what + ": " + text;
    libvhdi_error_t* e2 = nullptr;
    libvhdi_file_close(f, &e2);
    message(e2);
    libvhdi_file_free(&f, &e2);
    message(e2);
    return nullptr;
  };
  if (libvhdi_file_open(f, path.c_str(), LIBVHDI_OPEN_READ, &err) != 1) {
    error = "cannot open " + path + " as " + what + ": " + message(err);
    libvhdi_file_free(&f, &err);
    message(err);
    return nullptr;
  }
  std::uint64_t size = 0;
  std::uint32_t diskType = 0;
  int fileType = 0;
  if (libvhdi_file_get_media_size(f, &size, &err) != 1 || libvhdi_file_get_disk_type(f, &diskType, &err) != 1 ||
      libvhdi_file_get_file_type(f, &fileType, &err) != 1)
    return fail(message(err));
  // A differencing disk holds only what changed since its parent: read
  // alone, the rest would come back as zeros.
  if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL)
    return fail("it is a differencing disk, which holds only the changes to its parent image; open the parent, or "
                "merge the two first (qemu-img convert)");
  info.format = fileType == LIBVHDI_FILE_TYPE_VHDX ? ImageFormat::Vhdx : ImageFormat::Vhd;
  info.details.push_back({"disk_type", "Disk Type",
                          diskType == LIBVHDI_DISK_TYPE_FIXED ? "fixed" : "dynamic"});
  std::uint32_t bytesPerSector = 0;
  if (libvhdi_file_get_bytes_per_sector(f, &bytesPerSector, &err) != 1) bytesPerSector = 0;
  message(err);
  return std::make_unique<libyal::Source<libvhdi_file_t, libvhdi_error_t>>(kApi, f, size, bytesPerSector);
}

}  // namespace osprin
