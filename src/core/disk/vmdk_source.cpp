// VMDK images through libvmdk, read-only: a descriptor file with its extent
// files beside it, or one sparse file that holds its own descriptor.
#include <libvmdk.h>

#include <filesystem>

#include "disk/image_sources.h"
#include "disk/libyal.h"

namespace osprin {

namespace {

const libyal::Api<libvmdk_handle_t, libvmdk_error_t> kApi{libvmdk_handle_read_buffer_at_offset, libvmdk_handle_close,
                                                          libvmdk_handle_free, libvmdk_error_backtrace_sprint, libvmdk_error_free};

std::string message(libvmdk_error_t*& err) { return libyal::takeMessage(err, libvmdk_error_backtrace_sprint, libvmdk_error_free); }

}  // namespace

std::unique_ptr<BlockSource> openVmdkSource(const std::string& path, std::string& error, ImageInfo& info) {
  libvmdk_error_t* err = nullptr;
  libvmdk_handle_t* h = nullptr;
  if (libvmdk_handle_initialize(&h, &err) != 1) {
    error = "cannot open " + path + " as a VMDK image: " + message(err);
    return nullptr;
  }
  if (libvmdk_handle_open(h, path.c_str(), LIBVMDK_OPEN_READ, &err) != 1) {
    error = "cannot open " + path + " as a VMDK image: " + message(err);
    libvmdk_handle_free(&h, &err);
    message(err);
    return nullptr;
  }
  auto fail = [&](const std::string& text) -> std::unique_ptr<BlockSource> {
    error = "cannot open " + path + " as a VMDK image: " + text;
    libvmdk_error_t* e2 = nullptr;
    libvmdk_handle_close(h, &e2);
    message(e2);
    libvmdk_handle_free(&h, &e2);
    message(e2);
    return nullptr;
  };
  // The extents lie beside the descriptor.
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string dir = parent.empty() ? std::string(".") : parent.string();
  if (libvmdk_handle_set_extent_data_files_path(h, dir.c_str(), dir.size(), &err) != 1) return fail(message(err));
  if (libvmdk_handle_open_extent_data_files(h, &err) != 1) return fail(message(err));
  std::uint32_t parentId = 0;
  int r = libvmdk_handle_get_parent_content_identifier(h, &parentId, &err);
  message(err);
  if (r == 1 && parentId != 0xFFFFFFFFu)
    return fail("it is a delta disk that holds only the changes to its parent image; merge the two first (qemu-img "
                "convert)");
  std::uint64_t size = 0;
  int extents = 0;
  if (libvmdk_handle_get_media_size(h, &size, &err) != 1 || libvmdk_handle_get_number_of_extents(h, &extents, &err) != 1)
    return fail(message(err));
  info.format = ImageFormat::Vmdk;
  info.segments = extents > 0 ? static_cast<std::size_t>(extents) : 1;
  return std::make_unique<libyal::Source<libvmdk_handle_t, libvmdk_error_t>>(kApi, h, size);
}

}  // namespace osprin
