#include "recovery/report.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <nlohmann/json.hpp>

#include "common/text.h"
#include "recovery/verdict.h"

namespace osprin {

namespace {

EVP_MD_CTX* ctxOf(void* p) { return static_cast<EVP_MD_CTX*>(p); }

std::string hexDigest(EVP_MD_CTX* ctx) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx, md, &len) != 1) return "";
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (unsigned int i = 0; i < len; ++i) {
    out += digits[md[i] >> 4];
    out += digits[md[i] & 15];
  }
  return out;
}

std::string isoFromUnix(std::int64_t secs, bool dateOnly) {
  const auto t = static_cast<std::time_t>(secs);
  std::tm tm{};
  if (!gmtime_r(&t, &tm)) return "";
  char buf[40];
  if (dateOnly)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string xmlEscape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // Control characters are not allowed in XML 1.0.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
          out += "&#xFFFD;";
        else
          out += c;
    }
  }
  return out;
}

std::string csvField(std::string_view s) {
  if (s.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(s);
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string fraction(const Recoverability& r) {
  if (r.verdict == Verdict::None || r.verdict == Verdict::Unknown) return "";
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.4f", r.claimedFraction());
  return buf;
}

std::string extensionOf(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

nlohmann::json runsJson(const ReportEntry& e) {
  nlohmann::json runs = nlohmann::json::array();
  for (const ReportRun& r : e.runs) {
    nlohmann::json j{{"file_offset", r.fileOffset}, {"length", r.length}};
    if (r.sparse)
      j["sparse"] = true;
    else
      j["disk_offset"] = r.diskOffset;
    runs.push_back(j);
  }
  return runs;
}

}  // namespace

std::string isoTimeNow() { return isoFromUnix(static_cast<std::int64_t>(std::time(nullptr)), false); }

bool reportFormatKnown(const std::string& path) {
  const std::string ext = extensionOf(path);
  return ext == "json" || ext == "csv" || ext == "xml";
}

// MD5 runs at less than half the speed of SHA-256 (which has instructions
// of its own on current CPUs): it is computed on a thread of its own while
// the copy goes on, over copies of the bytes handed to it (at most
// kMaxQueued chunks wait, their buffers reused). The copy never waits for
// a file's MD5 at its end: the digest is kept under the entry's number and
// taken into the entries when they are read (sync).
struct RecoveryReport::Md5Worker {
  static constexpr std::size_t kMaxQueued = 16;
  struct Item {
    enum class Kind : std::uint8_t { Begin, Data, Finish } kind = Kind::Data;
    std::vector<std::uint8_t> bytes;
    std::size_t entry = 0;  // Finish: the entry the digest belongs to
  };
  EVP_MD_CTX* ctx = nullptr;
  std::mutex m;
  std::condition_variable cv;
  std::deque<Item> queue;
  std::vector<std::vector<std::uint8_t>> spare;
  std::vector<std::pair<std::size_t, std::string>> digests;  // finished, not yet taken
  bool busy = false, quit = false;
  std::thread thread;

  Md5Worker() {
    ctx = EVP_MD_CTX_new();
    if (!ctx) throw std::bad_alloc();
    thread = std::thread([this] { run(); });
  }
  ~Md5Worker() {
    {
      std::lock_guard<std::mutex> lk(m);
      quit = true;
    }
    cv.notify_all();
    thread.join();
    EVP_MD_CTX_free(ctx);
  }
  void put(Item&& item) {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return queue.size() < kMaxQueued; });
    queue.push_back(std::move(item));
    cv.notify_all();
  }
  void begin() {
    Item i;
    i.kind = Item::Kind::Begin;
    put(std::move(i));
  }
  void push(const std::uint8_t* p, std::size_t n) {
    Item i;
    {
      std::lock_guard<std::mutex> lk(m);
      if (!spare.empty()) {
        i.bytes = std::move(spare.back());
        spare.pop_back();
      }
    }
    i.bytes.assign(p, p + n);
    put(std::move(i));
  }
  void finish(std::size_t entry) {
    Item i;
    i.kind = Item::Kind::Finish;
    i.entry = entry;
    put(std::move(i));
  }
  // Waits until every item handed over is done; the digests finished so far.
  std::vector<std::pair<std::size_t, std::string>> sync() {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return queue.empty() && !busy; });
    return std::exchange(digests, {});
  }
  void run() {
    std::unique_lock<std::mutex> lk(m);
    for (;;) {
      cv.wait(lk, [&] { return quit || !queue.empty(); });
      if (queue.empty()) return;  // quit, with everything done
      Item item = std::move(queue.front());
      queue.pop_front();
      busy = true;
      cv.notify_all();
      lk.unlock();
      std::string digest;
      switch (item.kind) {
        case Item::Kind::Begin: EVP_DigestInit_ex(ctx, EVP_md5(), nullptr); break;
        case Item::Kind::Data: EVP_DigestUpdate(ctx, item.bytes.data(), item.bytes.size()); break;
        case Item::Kind::Finish: digest = hexDigest(ctx); break;
      }
      lk.lock();
      busy = false;
      if (item.kind == Item::Kind::Finish) digests.emplace_back(item.entry, std::move(digest));
      if (item.kind == Item::Kind::Data && spare.size() < kMaxQueued + 2) spare.push_back(std::move(item.bytes));
      cv.notify_all();
    }
  }
};

RecoveryReport::RecoveryReport(Describe describe) : describe_(std::move(describe)) {
  sha_ = EVP_MD_CTX_new();
  if (!sha_) throw std::bad_alloc();
  md5_ = std::make_unique<Md5Worker>();
}

const std::vector<ReportEntry>& RecoveryReport::entries() const {
  for (auto& [i, digest] : md5_->sync())
    if (i < entries_.size()) entries_[i].md5 = std::move(digest);
  return entries_;
}

RecoveryReport::~RecoveryReport() { EVP_MD_CTX_free(ctxOf(sha_)); }

void RecoveryReport::begin(const FileCopyRequest& req) {
  current_ = ReportEntry{};
  current_.size = req.size;
  current_.deleted = req.deleted;
  current_.recoverable = req.recoverable;
  fileOffset_ = 0;
  if (describe_) describe_(req, current_);
  EVP_DigestInit_ex(ctxOf(sha_), EVP_sha256(), nullptr);
  md5_->begin();
}

void RecoveryReport::source(std::uint64_t diskOffset, std::uint64_t length, bool sparse) {
  if (length == 0) return;
  // A stretch that continues the one before it on the disk extends it.
  if (!current_.runs.empty()) {
    ReportRun& last = current_.runs.back();
    if (last.sparse == sparse && (sparse || last.diskOffset + last.length == diskOffset)) {
      last.length += length;
      fileOffset_ += length;
      return;
    }
  }
  current_.runs.push_back(ReportRun{fileOffset_, sparse ? 0 : diskOffset, length, sparse});
  fileOffset_ += length;
}

void RecoveryReport::data(const std::uint8_t* p, std::size_t n) {
  if (n == 0) return;
  md5_->push(p, n);
  EVP_DigestUpdate(ctxOf(sha_), p, n);
}

void RecoveryReport::zeros(std::uint64_t n) {
  static const std::uint8_t zero[65536] = {};
  while (n > 0) {
    const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof zero));
    data(zero, k);
    n -= k;
  }
}

void RecoveryReport::unreadable(std::uint64_t fileOffset, std::uint64_t length) {
  auto& z = current_.zeroFilled;
  if (!z.empty() && z.back().first + z.back().second == fileOffset)
    z.back().second += length;
  else
    z.emplace_back(fileOffset, length);
}

void RecoveryReport::end(const FileCopyRequest&, const CopyResult&, const FileResult* file) {
  ReportEntry e = std::move(current_);
  current_ = ReportEntry{};
  const std::string sha = hexDigest(ctxOf(sha_));
  // The outcome is the one the recovery recorded for the file (the summary's
  // and the command line's), never a view of its own. Files not taken, and
  // files skipped by the user's choice, are not in the report.
  if (!file || file->outcome == FileOutcome::Skipped) return;
  e.destination = file->path;
  e.written = file->written;
  e.reason = file->reason;
  e.zeroFilled.clear();
  for (const ByteRange& z : file->zeroFilled) e.zeroFilled.emplace_back(z.offset, z.length);
  switch (file->outcome) {
    case FileOutcome::Whole: e.outcome = "whole"; break;
    case FileOutcome::Incomplete: e.outcome = "incomplete"; break;
    case FileOutcome::NotDecoded: e.outcome = "not decoded"; break;  // written as stored: hashes of those bytes
    case FileOutcome::Failed:
    case FileOutcome::Skipped: e.outcome = "failed"; break;
  }
  // A failed file left nothing behind: no hashes.
  if (file->outcome != FileOutcome::Failed) {
    e.sha256 = sha;
    md5_->finish(entries_.size());  // the MD5 comes when the entries are read
  } else {
    e.written = 0;
  }
  entries_.push_back(std::move(e));
}

std::string RecoveryReport::json() const {
  entries();  // every MD5 taken in
  nlohmann::json j;
  j["program"] = {{"name", info.program}, {"version", info.version}, {"command_line", info.commandLine}};
  j["started"] = info.started;
  j["finished"] = info.finished;
  j["disk"] = {{"path", info.diskPath},
               {"size", info.diskBytes},
               {"sector_size", info.sectorSize},
               {"model", info.diskModel}};
  j["volume"] = {{"type", info.fsType},
                 {"start_sector", info.volumeStartSector},
                 {"sectors", info.volumeSectors},
                 {"sectors_per_cluster", info.sectorsPerCluster},
                 {"cluster_base", info.clusterBase},
                 {"fat1_start", info.fat1Start},
                 {"fat2_start", info.fat2Start},
                 {"mft_start", info.mftStart},
                 {"deep_scan", info.deepScan}};
  j["destination"] = info.destination;
  nlohmann::json files = nlohmann::json::array();
  for (const ReportEntry& e : entries_) {
    nlohmann::json f{{"source", e.sourcePath},   {"destination", e.destination}, {"size", e.size},
                     {"deleted", e.deleted},     {"outcome", e.outcome},         {"written", e.written},
                     {"runs", runsJson(e)}};
    if (e.recoverable.verdict != Verdict::None) {
      f["recoverable"] = verdictWord(e.recoverable.verdict);
      if (e.recoverable.verdict != Verdict::Unknown) f["overwritten_fraction"] = e.recoverable.claimedFraction();
      if (e.recoverable.guessedChain) f["chain_guessed"] = true;
    }
    if (!e.reason.empty()) f["reason"] = e.reason;
    if (!e.zeroFilled.empty()) {
      nlohmann::json z = nlohmann::json::array();
      for (const auto& [off, len] : e.zeroFilled) z.push_back({{"file_offset", off}, {"length", len}});
      f["zero_filled"] = z;
    }
    if (e.written < e.size && e.outcome == "incomplete") f["missing_from"] = e.written;
    for (const auto& [key, value] : {std::pair{"created", &e.created}, std::pair{"modified", &e.modified},
                                     std::pair{"accessed", &e.accessed}, std::pair{"changed", &e.changed}})
      if (!value->empty()) f[key] = *value;
    if (!e.sha256.empty()) {
      f["sha256"] = e.sha256;
      f["md5"] = e.md5;
    }
    files.push_back(std::move(f));
  }
  j["files"] = std::move(files);
  return j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string RecoveryReport::csv() const {
  entries();  // every MD5 taken in
  std::string out =
      "source,destination,size,deleted,recoverable,overwritten_fraction,created,modified,accessed,changed,outcome,"
      "reason,written,zero_filled,runs,sha256,md5\n";
  for (const ReportEntry& e : entries_) {
    std::string zero, runs;
    for (const auto& [off, len] : e.zeroFilled) zero += (zero.empty() ? "" : " ") + dec(off) + "+" + dec(len);
    for (const ReportRun& r : e.runs)
      runs += (runs.empty() ? "" : " ") + (r.sparse ? std::string("sparse") : dec(r.diskOffset)) + "+" + dec(r.length);
    const std::string fields[] = {e.sourcePath, e.destination, dec(e.size), e.deleted ? "1" : "0",
                                  verdictWord(e.recoverable.verdict), fraction(e.recoverable), e.created, e.modified,
                                  e.accessed, e.changed, e.outcome, e.reason, dec(e.written), zero, runs, e.sha256,
                                  e.md5};
    bool first = true;
    for (const auto& f : fields) {
      if (!first) out += ',';
      out += csvField(f);
      first = false;
    }
    out += '\n';
  }
  return out;
}

std::string RecoveryReport::dfxml() const {
  entries();  // every MD5 taken in
  std::string o;
  o += "<?xml version='1.0' encoding='UTF-8'?>\n";
  o += "<dfxml xmlns='http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML'"
       " xmlns:dc='http://purl.org/dc/elements/1.1/' xmlns:osprin='urn:osprin:recovery-report' version='1.0'>\n";
  o += "  <metadata>\n    <dc:type>Recovery Report</dc:type>\n  </metadata>\n";
  o += "  <creator version='1.0'>\n";
  o += "    <program>" + xmlEscape(info.program) + "</program>\n";
  o += "    <version>" + xmlEscape(info.version) + "</version>\n";
  o += "    <execution_environment>\n";
  if (!info.commandLine.empty()) o += "      <command_line>" + xmlEscape(info.commandLine) + "</command_line>\n";
  o += "      <start_time>" + xmlEscape(info.started) + "</start_time>\n";
  o += "    </execution_environment>\n";
  o += "  </creator>\n";
  o += "  <source>\n";
  o += "    <image_filename>" + xmlEscape(info.diskPath) + "</image_filename>\n";
  o += "    <image_size>" + dec(info.diskBytes) + "</image_size>\n";
  o += "    <sectorsize>" + dec(info.sectorSize) + "</sectorsize>\n";
  if (!info.diskModel.empty()) o += "    <device_model>" + xmlEscape(info.diskModel) + "</device_model>\n";
  o += "  </source>\n";
  const std::uint64_t volumeOffset = info.volumeStartSector * info.sectorSize;
  const std::uint64_t blockSize = static_cast<std::uint64_t>(info.sectorsPerCluster) * info.sectorSize;
  o += "  <volume offset='" + dec(volumeOffset) + "'>\n";
  o += "    <partition_offset>" + dec(volumeOffset) + "</partition_offset>\n";
  o += "    <sector_size>" + dec(info.sectorSize) + "</sector_size>\n";
  o += "    <block_size>" + dec(blockSize) + "</block_size>\n";
  o += "    <ftype_str>" + xmlEscape(info.fsType) + "</ftype_str>\n";
  if (info.volumeSectors != 0 && blockSize != 0)
    o += "    <block_count>" + dec(info.volumeSectors * info.sectorSize / blockSize) + "</block_count>\n";
  for (const ReportEntry& e : entries_) {
    o += "    <fileobject>\n";
    std::string name = e.sourcePath;
    if (!name.empty() && name[0] == '/') name.erase(0, 1);
    o += "      <filename>" + xmlEscape(name) + "</filename>\n";
    o += "      <filesize>" + dec(e.size) + "</filesize>\n";
    o += "      <alloc>" + std::string(e.deleted ? "0" : "1") + "</alloc>\n";
    o += "      <unalloc>" + std::string(e.deleted ? "1" : "0") + "</unalloc>\n";
    if (!e.modified.empty()) o += "      <mtime>" + xmlEscape(e.modified) + "</mtime>\n";
    if (!e.created.empty()) o += "      <crtime>" + xmlEscape(e.created) + "</crtime>\n";
    if (!e.accessed.empty()) o += "      <atime>" + xmlEscape(e.accessed) + "</atime>\n";
    if (!e.changed.empty()) o += "      <ctime>" + xmlEscape(e.changed) + "</ctime>\n";
    o += "      <byte_runs>\n";
    for (const ReportRun& r : e.runs) {
      if (r.sparse) {
        o += "        <byte_run file_offset='" + dec(r.fileOffset) + "' fill='0' len='" + dec(r.length) + "'/>\n";
      } else {
        const std::uint64_t fs = r.diskOffset >= volumeOffset ? r.diskOffset - volumeOffset : 0;
        o += "        <byte_run file_offset='" + dec(r.fileOffset) + "' fs_offset='" + dec(fs) + "' img_offset='" +
             dec(r.diskOffset) + "' len='" + dec(r.length) + "'/>\n";
      }
    }
    o += "      </byte_runs>\n";
    if (!e.sha256.empty()) {
      o += "      <hashdigest type='md5'>" + e.md5 + "</hashdigest>\n";
      o += "      <hashdigest type='sha256'>" + e.sha256 + "</hashdigest>\n";
    }
    o += "      <osprin:recovered_to>" + xmlEscape(e.destination) + "</osprin:recovered_to>\n";
    if (e.recoverable.verdict != Verdict::None) {
      o += "      <osprin:recoverable";
      if (e.recoverable.verdict != Verdict::Unknown) o += " overwritten_fraction='" + fraction(e.recoverable) + "'";
      if (e.recoverable.guessedChain) o += " chain_guessed='1'";
      o += ">" + std::string(verdictWord(e.recoverable.verdict)) + "</osprin:recoverable>\n";
    }
    o += "      <osprin:outcome written='" + dec(e.written) + "'>" + xmlEscape(e.outcome) + "</osprin:outcome>\n";
    if (!e.reason.empty()) o += "      <osprin:reason>" + xmlEscape(e.reason) + "</osprin:reason>\n";
    for (const auto& [off, len] : e.zeroFilled)
      o += "      <osprin:zero_filled file_offset='" + dec(off) + "' len='" + dec(len) + "'/>\n";
    o += "    </fileobject>\n";
  }
  o += "  </volume>\n";
  o += "  <osprin:finished>" + xmlEscape(info.finished) + "</osprin:finished>\n";
  o += "</dfxml>\n";
  return o;
}

bool RecoveryReport::write(const std::string& path, std::string& error) const {
  const std::string ext = extensionOf(path);
  std::string text;
  if (ext == "json")
    text = json();
  else if (ext == "csv")
    text = csv();
  else if (ext == "xml")
    text = dfxml();
  else {
    error = "the report's name must end in .json, .csv or .xml: " + path;
    return false;
  }
  // A temporary file beside it, renamed over it when whole.
  const std::string tmp = path + ".part";
  ::unlink(tmp.c_str());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    error = "cannot write the report " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot write the report " + path + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace osprin
