// EnCase images through libewf, read-only.
#include <libewf.h>

#include <cstring>

#include "disk/image_sources.h"
#include "disk/libyal.h"

namespace osprin {

namespace {

std::string message(libewf_error_t*& err) {
  return libyal::takeMessage(err, libewf_error_backtrace_sprint, libewf_error_free);
}

const libyal::Api<libewf_handle_t, libewf_error_t> kApi{libewf_handle_read_random, libewf_handle_close,
                                                        libewf_handle_free, libewf_error_backtrace_sprint, libewf_error_free};

// A header or hash value of the image ("" when absent).
std::string headerValue(libewf_handle_t* h, const char* id, bool hash) {
  std::uint8_t buf[4096] = {};
  libewf_error_t* err = nullptr;
  const auto* ident = reinterpret_cast<const std::uint8_t*>(id);
  int r = hash ? libewf_handle_get_utf8_hash_value(h, ident, std::strlen(id), buf, sizeof buf, &err)
               : libewf_handle_get_utf8_header_value(h, ident, std::strlen(id), buf, sizeof buf, &err);
  message(err);
  if (r != 1) return "";
  buf[sizeof buf - 1] = 0;
  return std::string(reinterpret_cast<const char*>(buf));
}

}  // namespace

std::unique_ptr<BlockSource> openEwfSource(const std::string& path, std::string& error, ImageInfo& info) {
  libewf_error_t* err = nullptr;
  char** names = nullptr;
  int count = 0;
  // The segments from the first one's name (.E01 -> .E02 ...; .Ex01 -> .Ex02 ...).
  if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &err) != 1 || count <= 0) {
    message(err);
    names = nullptr;
    count = 0;
  }
  libewf_handle_t* h = nullptr;
  if (libewf_handle_initialize(&h, &err) != 1) {
    error = "cannot open " + path + " as an EnCase image: " + message(err);
    if (names) {
      libewf_glob_free(names, count, &err);
      message(err);
    }
    return nullptr;
  }
  char* single[1] = {const_cast<char*>(path.c_str())};
  const int opened = names ? libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, &err)
                           : libewf_handle_open(h, single, 1, LIBEWF_OPEN_READ, &err);
  const std::size_t segments = names ? static_cast<std::size_t>(count) : 1;
  if (names) {
    libewf_error_t* e2 = nullptr;
    libewf_glob_free(names, count, &e2);
    message(e2);
    names = nullptr;
  }
  std::uint64_t size = 0;
  if (opened != 1 || libewf_handle_get_media_size(h, &size, &err) != 1) {
    error = "cannot open " + path + " as an EnCase image: " + message(err);
    libewf_error_t* e2 = nullptr;
    if (opened == 1) libewf_handle_close(h, &e2);
    message(e2);
    libewf_handle_free(&h, &e2);
    message(e2);
    return nullptr;
  }
  // A segment that was cut short or is missing leaves the image without
  // the sectors it held: refused, not read as zeros.
  const int corrupted = libewf_handle_segment_files_corrupted(h, &err);
  std::string why = message(err);
  libewf_handle_set_read_zero_chunk_on_error(h, 0, &err);
  message(err);
  if (corrupted != 0) {
    error = "cannot open " + path + " as an EnCase image: " +
            (corrupted == 1 ? std::string("one of its segment files is damaged, cut short or missing") : why);
    libewf_error_t* e2 = nullptr;
    libewf_handle_close(h, &e2);
    message(e2);
    libewf_handle_free(&h, &e2);
    message(e2);
    return nullptr;
  }
  info.format = ImageFormat::Ewf;
  info.segments = segments;
  static const struct {
    const char* id;
    const char* key;
    const char* label;
    bool hash;
  } kFields[] = {
      {"case_number", "case_number", "Case Number", false},
      {"evidence_number", "evidence_number", "Evidence Number", false},
      {"examiner_name", "examiner", "Examiner", false},
      {"description", "description", "Description", false},
      {"notes", "notes", "Notes", false},
      {"acquiry_date", "acquisition_date", "Acquisition Date", false},
      {"MD5", "md5", "Acquisition MD5", true},
      {"SHA1", "sha1", "Acquisition SHA1", true},
  };
  for (const auto& f : kFields) {
    std::string v = headerValue(h, f.id, f.hash);
    if (!v.empty()) info.details.push_back({f.key, f.label, v});
  }
  std::uint32_t bytesPerSector = 0;
  if (libewf_handle_get_bytes_per_sector(h, &bytesPerSector, &err) != 1) bytesPerSector = 0;
  message(err);
  return std::make_unique<libyal::Source<libewf_handle_t, libewf_error_t>>(kApi, h, size, bytesPerSector);
}

}  // namespace osprin
