// QCOW and QCOW2 images through libqcow, read-only.
#include <libqcow.h>

#include "disk/image_sources.h"
#include "disk/libyal.h"

namespace osprin {

namespace {

const libyal::Api<libqcow_file_t, libqcow_error_t> kApi{libqcow_file_read_buffer_at_offset, libqcow_file_close,
                                                        libqcow_file_free, libqcow_error_backtrace_sprint, libqcow_error_free};

std::string message(libqcow_error_t*& err) { return libyal::takeMessage(err, libqcow_error_backtrace_sprint, libqcow_error_free); }

}  // namespace

std::unique_ptr<BlockSource> openQcowSource(const std::string& path, std::string& error, ImageInfo& info) {
  libqcow_error_t* err = nullptr;
  libqcow_file_t* f = nullptr;
  if (libqcow_file_initialize(&f, &err) != 1) {
    error = "cannot open " + path + " as a QCOW image: " + message(err);
    return nullptr;
  }
  if (libqcow_file_open(f, path.c_str(), LIBQCOW_OPEN_READ, &err) != 1) {
    error = "cannot open " + path + " as a QCOW image: " + message(err);
    libqcow_file_free(&f, &err);
    message(err);
    return nullptr;
  }
  auto fail = [&](const std::string& text) -> std::unique_ptr<BlockSource> {
    error = "cannot open " + path + " as a QCOW image: " + text;
    libqcow_error_t* e2 = nullptr;
    libqcow_file_close(f, &e2);
    message(e2);
    libqcow_file_free(&f, &e2);
    message(e2);
    return nullptr;
  };
  std::uint64_t size = 0;
  std::uint32_t version = 0;
  std::uint32_t encryption = 0;
  if (libqcow_file_get_media_size(f, &size, &err) != 1 || libqcow_file_get_format_version(f, &version, &err) != 1 ||
      libqcow_file_get_encryption_method(f, &encryption, &err) != 1)
    return fail(message(err));
  if (encryption != 0) return fail("it is encrypted, which this program does not read");
  // An overlay holds only what changed since its backing file: read alone,
  // the rest would come back as zeros.
  std::size_t backing = 0;
  int r = libqcow_file_get_utf8_backing_filename_size(f, &backing, &err);
  message(err);
  if (r == 1 && backing > 1)
    return fail("it is an overlay that holds only the changes to its backing file; merge the two first (qemu-img "
                "convert)");
  info.format = ImageFormat::Qcow;
  info.details.push_back({"format_version", "Format Version", std::to_string(version)});
  return std::make_unique<libyal::Source<libqcow_file_t, libqcow_error_t>>(kApi, f, size);
}

}  // namespace osprin
