// osprin list DISK (--partition N | --fs TYPE --start S --end E | --deep ... --pick K | --snapshot FILE)
//             [--json] [--save-snapshot FILE]
//
// Mounts the chosen volume and prints the tree reachable from the root,
// depth first: each folder's subfolders (each followed by its own content),
// then its files, in the order of the file list.
#include <charconv>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

#include "cli_common.h"
#include "commands.h"
#include "common/text.h"

namespace osprin::cli {

namespace {

struct Args {
  std::string disk;
  VolumeArgs volume;
  bool json = false;
  std::string saveSnapshot;
};

constexpr std::size_t kOutputChunk = 1 << 20;

void appendUnsigned(std::string& out, std::uint64_t v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, end);
}

// A JSON string as nlohmann::json dumps it (UTF-8 kept, invalid bytes
// replaced): printable ASCII without '"' and '\\' is copied as it is,
// anything else is left to the library.
void appendJsonString(std::string& out, std::string_view s) {
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
      out += nlohmann::json(std::string(s)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return;
    }
  }
  out += '"';
  out += s;
  out += '"';
}

// A fraction as JSON: 0, 1, or up to four decimals.
void appendFraction(std::string& out, double f) {
  if (f <= 0) {
    out += '0';
    return;
  }
  if (f >= 1) {
    out += '1';
    return;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.4f", f);
  std::string t = buf;
  while (!t.empty() && t.back() == '0') t.pop_back();
  out += t;
}

// A stored time in ISO 8601 as the volume implies it (FAT: local time
// without an offset; NTFS: UTC with "Z"), or null when it names no time.
void appendIsoTime(std::string& out, const StoredTime& t) {
  const std::string iso = isoTime(t);
  if (iso.empty()) {
    out += "null";
  } else {
    out += '"';
    out += iso;
    out += '"';
  }
}

std::string trimmed(const std::string& s) {
  auto end = s.find_last_not_of(' ');
  return end == std::string::npos ? "" : s.substr(0, end + 1);
}

void runList(const Args& a) {
  Session s;
  TerminalObserver term;
  if (!mountVolume(a.disk, a.volume, s, term)) return;
  s.assessRecoverability(&stopFlag());

  if (!a.saveSnapshot.empty()) {
    std::string err, written;
    if (!s.saveSnapshot(a.saveSnapshot, err, &written)) {
      fail(err);
      return;
    }
    std::fprintf(stderr, "Snapshot saved to %s\n", terminalQuoted(written).c_str());
  }

  if (a.json) {
    // Rows are written by hand into one buffer that goes out in large
    // writes: a JSON object per row costs more than the scan. The text is
    // what nlohmann::json's compact dump gives (keys in sorted order); a
    // string that needs escaping goes through it.
    std::string out = "[";
    out.reserve(kOutputChunk + 4096);
    bool first = true;
    walkRows(s, [&](const std::string& path, const ListRow& row) {
      const Recoverability& rv = row.recoverable;
      out += first ? "\n {" : ",\n {";
      if (rv.verdict != Verdict::None && rv.guessedChain) out += "\"chain_guessed\":true,";
      out += "\"created\":";
      appendIsoTime(out, row.createdAt);
      out += row.deleted ? ",\"deleted\":true,\"id\":" : ",\"deleted\":false,\"id\":";
      appendUnsigned(out, row.id);
      out += row.folder            ? ",\"kind\":\"folder\",\"modified\":"
             : row.stream.empty() ? ",\"kind\":\"file\",\"modified\":"
                                  : ",\"kind\":\"stream\",\"modified\":";
      appendIsoTime(out, row.modifiedAt);
      if (rv.verdict != Verdict::None && rv.verdict != Verdict::Unknown) {
        out += ",\"overwritten_fraction\":";
        appendFraction(out, rv.claimedFraction());
      }
      out += ",\"path\":";
      appendJsonString(out, path);
      if (rv.verdict != Verdict::None) {
        out += ",\"recoverable\":\"";
        out += verdictWord(rv.verdict);
        out += '"';
      }
      out += ",\"size\":";
      appendUnsigned(out, row.size);
      out += '}';
      first = false;
      if (out.size() >= kOutputChunk) {
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
      }
    });
    out += first ? "]\n" : "\n]\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return;
  }

  std::uint64_t folders = 0, files = 0, deleted = 0;
  std::printf("%-14s %12s  %-20s %-20s %-22s %s\n", "Type", "Size", "Created", "Modified", "Recoverable", "Path");
  walkRows(s, [&](const std::string& path, const ListRow& row) {
    (row.folder ? folders : files)++;
    if (row.deleted) ++deleted;
    const std::string type = rowTypeText(row, row.stream.empty() ? "File" : "Stream");
    const std::string size = row.folder ? "" : std::to_string(row.size);
    std::string verdict = verdictText(row.recoverable);
    if (row.recoverable.guessedChain && row.recoverable.verdict != Verdict::Guessed) verdict += " (guessed)";
    // A name can hold control characters and escape sequences: quoted as ls
    // does, it can neither drive the terminal nor fake a line of the list.
    std::printf("%-14s %12s  %-20s %-20s %-22s %s\n", type.c_str(), size.c_str(), trimmed(row.created).c_str(),
                trimmed(row.modified).c_str(), verdict.c_str(), terminalQuoted(path).c_str());
  });
  std::printf("%llu folder(s), %llu file(s), %llu of them deleted\n", static_cast<unsigned long long>(folders),
              static_cast<unsigned long long>(files), static_cast<unsigned long long>(deleted));
}

}  // namespace

void addListCommand(CLI::App& app) {
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand("list", "mount a volume and list its files and folders");
  cmd->add_option("DISK", a->disk, "disk device or image file")->required();
  addVolumeOptions(cmd, a->volume);
  cmd->add_flag("--json", a->json, "print JSON");
  cmd->add_option("--save-snapshot", a->saveSnapshot,
                  "save the scan to a snapshot (the name is upper-cased and gets .ZQRT)");
  cmd->callback([a] { runList(*a); });
}

}  // namespace osprin::cli
