// osprin recover DISK SELECTION --to DIR (--all | PATH...): scans the volume
// and copies files and folders out of it, as "Recover All" and "Recover
// Selected" do in the desktop program.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_common.h"
#include "commands.h"
#include "common/text.h"
#include "recovery/destination.h"
#include "recovery/extract.h"
#include "recovery/report.h"
#include "recovery/settings.h"
#include "search/match.h"
#include "tree/file_list.h"

namespace osprin::cli {

namespace {

struct RecoverArgs {
  std::string disk;
  VolumeArgs volume;
  std::string to;
  bool force = false;
  bool all = false;
  std::vector<std::string> paths;
  std::string duplicates = "rename";
  std::string deleted = "include";
  std::vector<std::string> filters;
  unsigned retries = 0;  // 0: keep the default
  bool json = false;
  bool streams = false;
  bool onlyIntact = false;
  std::string report;
};

// Forwards to the terminal and turns an interrupt into "&Stop Saving".
class SaveObserver : public Observer {
 public:
  SaveObserver(TerminalObserver& term, RecoveryFlags& flags) : term_(term), flags_(flags) {}
  void progress(int p) override {
    poll();
    term_.progress(p);
  }
  void counter(Counter c, std::uint64_t v) override {
    poll();
    term_.counter(c, v);
  }
  void text(TextField f, std::string_view v) override {
    poll();
    term_.text(f, v);
  }
  void phase(const PhaseInfo& p) override { term_.phase(p); }
  void message(MsgKind kind, std::string_view t) override { term_.message(kind, t); }
  bool ask(std::string_view t) override {
    poll();
    return term_.ask(t);
  }
  void warning(std::string_view t) override { term_.warning(t); }

 private:
  void poll() {
    if (stopFlag().load() != 0) flags_.saveStopRequested.store(1);
  }
  TerminalObserver& term_;
  RecoveryFlags& flags_;
};

// The command line as the process was started, for the report.
std::string commandLine() {
  std::ifstream f("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  while (!all.empty() && all.back() == '\0') all.pop_back();
  for (char& c : all)
    if (c == '\0') c = ' ';
  return all;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::stringstream ss(path);
  std::string part;
  while (std::getline(ss, part, '/'))
    if (!part.empty()) parts.push_back(part);
  return parts;
}

// The list rows that a path names, as `osprin list` prints paths
// ("/DIR/a.txt": row names joined by "/"). Every folder and file of that name
// counts (a deleted and a live one can share it). "/" names every row of the
// root folder.
std::vector<ListRow> rowsForPath(Session& s, const std::string& path) {
  std::vector<ListRow> rows = s.listFolder(s.rootIdentity());
  const auto parts = splitPath(path);
  if (parts.empty()) return rows;
  for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
    std::vector<ListRow> next;
    for (const ListRow& row : rows) {
      if (!row.folder || row.name != parts[k] || row.id == 0 || row.id > UINT32_MAX) continue;
      if (s.tree.folderOfItem(static_cast<std::uint32_t>(row.id)) < 0) continue;
      for (ListRow& r : s.listFolder(s.identityOfItem(static_cast<std::uint32_t>(row.id)))) next.push_back(std::move(r));
    }
    rows = std::move(next);
    if (rows.empty()) return rows;
  }
  std::vector<ListRow> named;
  for (ListRow& row : rows)
    if (row.name == parts.back()) named.push_back(std::move(row));
  return named;
}

void runRecover(const RecoverArgs& a) {
  installInterruptHandler();
  const std::string started = isoTimeNow();
  if (a.all == !a.paths.empty()) {
    fail("give either --all or one or more paths to recover");
    return;
  }
  RecoverySettings settings;
  auto dup = parseDuplicatePolicy(a.duplicates);
  auto del = parseDeletedPolicy(a.deleted);
  if (!dup) {
    fail("--duplicates must be rename, overwrite or skip, not " + a.duplicates);
    return;
  }
  if (!del) {
    fail("--deleted must be include, only or exclude, not " + a.deleted);
    return;
  }
  settings.duplicatePolicy = *dup;
  settings.deletedPolicy = *del;
  settings.recoverStreams = a.streams;
  settings.onlyIntact = a.onlyIntact;
  if (!a.report.empty() && !reportFormatKnown(a.report)) {
    fail("the report's name must end in .json, .csv or .xml: " + a.report);
    return;
  }
  if (a.retries != 0 && !settings.setBadSectorRetries(a.retries)) {
    fail("--retries must be between 1 and 10");
    return;
  }
  FilterTable filters;
  for (const auto& f : a.filters) {
    FilterAddResult r = filters.append(f);
    if (r == FilterAddResult::TableFull) {
      fail("at most 99 filters can be given");
      return;
    }
    if (r == FilterAddResult::TooLong) {
      fail("a filter has at most 19 characters: " + f);
      return;
    }
    if (r == FilterAddResult::Blank) {
      fail("a filter must not be empty");
      return;
    }
  }

  // Files written to the disk being recovered can land on the very clusters
  // that hold the deleted files.
  DestinationCheck where = checkDestination(a.to, a.disk);
  if (where.onSource && !a.force) {
    fail(where.reason + " Writing there can overwrite the data being recovered: choose another folder, or give "
         "--force to write there anyway.");
    return;
  }
  if (!a.report.empty()) {
    const auto slash = a.report.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : a.report.substr(0, slash);
    DestinationCheck reportWhere = checkDestination(folder, a.disk);
    if (reportWhere.onSource && !a.force) {
      fail("The report: " + reportWhere.reason +
           " Writing there can overwrite the data being recovered: choose another place, or give --force.");
      return;
    }
  }

  Session s;
  s.settings = settings;
  s.filters = filters;
  TerminalObserver term(true);
  if (!mountVolume(a.disk, a.volume, s, term)) return;
  if (interrupted()) {
    fail("the scan was stopped; nothing was recovered", kExitInterrupted);
    return;
  }
  // The verdicts decide --only-intact and go into the report.
  if (a.onlyIntact || !a.report.empty()) s.assessRecoverability(&stopFlag());
  if (!makeDirectoryPath(a.to)) {
    fail("cannot create the destination folder " + a.to);
    return;
  }

  std::vector<ListRow> rows;
  std::vector<std::string> errors;
  if (a.all) {
    // Streams come with their files (--streams), as they do inside folders.
    for (ListRow& r : s.listFolder(s.rootIdentity()))
      if (r.stream.empty()) rows.push_back(std::move(r));
  } else {
    for (const auto& p : a.paths) {
      auto found = rowsForPath(s, p);
      if (found.empty()) errors.push_back("no such file or folder: " + p);
      for (auto& r : found) rows.push_back(std::move(r));
    }
  }

  RecoveryFlags flags;
  SaveObserver saveObs(term, flags);
  RecoveryResult result;
  std::unique_ptr<RecoveryReport> report;
  if (!a.report.empty()) {
    report = s.makeReport();
    report->info.commandLine = commandLine();
    report->info.started = started;
  }
  setRecoveryFlags(&flags);
  if (!rows.empty()) result = s.recoverRows(rows, a.to, flags, saveObs, report.get());
  setRecoveryFlags(nullptr);
  term.finish();
  errors.insert(errors.end(), result.errors.begin(), result.errors.end());
  if (report) {
    if (report->info.finished.empty()) report->info.finished = isoTimeNow();
    std::string err;
    if (!report->write(a.report, err)) errors.push_back(err);
    else if (!a.json) std::fprintf(stderr, "Report written to %s\n", a.report.c_str());
  }
  const bool stopped = interrupted();
  const std::size_t problems = result.problemCount();

  if (a.json) {
    nlohmann::json files = nlohmann::json::array();
    for (const FileResult& f : result.files) {
      nlohmann::json zero = nlohmann::json::array();
      for (const ByteRange& r : f.zeroFilled) zero.push_back({{"offset", r.offset}, {"length", r.length}});
      nlohmann::json e = {{"path", f.path}, {"outcome", fileOutcomeText(f.outcome)}, {"size", f.size},
                          {"written", f.written}, {"zero_filled", zero}};
      if (!f.reason.empty()) e["reason"] = f.reason;
      files.push_back(std::move(e));
    }
    nlohmann::json j;
    j["files_saved"] = result.filesSaved;
    j["files_not_whole"] = problems;
    j["files"] = std::move(files);
    j["errors"] = errors;
    j["warnings"] = term.warnings();
    j["incomplete"] = result.incomplete;
    j["not_decoded"] = result.notDecoded;
    j["destination_full"] = result.destinationFull;
    j["stopped"] = result.stopped || stopped;
    std::cout << j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::cout << "Files saved: " << result.filesSaved << "\n";
    if (problems > 0) {
      std::cout << "Not written whole: " << problems << "\n";
      for (const FileResult& f : result.files) {
        if (!isProblem(f.outcome)) continue;
        std::string line = "  " + std::string(fileOutcomeText(f.outcome)) + ": " + terminalQuoted(f.path);
        if (!f.reason.empty()) line += ": " + terminalSafe(f.reason);
        if (!f.zeroFilled.empty()) {
          line += " (zero-filled bytes";
          for (std::size_t i = 0; i < f.zeroFilled.size(); ++i) {
            const ByteRange& r = f.zeroFilled[i];
            line += (i == 0 ? " " : ", ") + dec(r.offset) + "-" + dec(r.offset + r.length - 1);
          }
          line += ")";
        }
        std::cout << line << "\n";
      }
    }
    for (const auto& e : errors) std::fprintf(stderr, "osprin: %s\n", terminalSafe(e).c_str());
  }
  if (stopped) {
    fail("recovery stopped by Ctrl-C: " + dec(result.filesSaved) +
             " file(s) were written; the one being written was removed, the rest were not written",
         kExitInterrupted);
  } else if (result.destinationFull) {
    fail("the destination folder is full: recovery ended there, and " + dec(problems) +
             " chosen file(s) were not written whole (listed above)",
         kExitNotWhole);
  } else if (rows.empty() && !errors.empty()) {
    fail("nothing could be recovered");
  } else if (problems > 0 || !errors.empty()) {
    fail(dec(problems) + " chosen file(s) were not written whole", kExitNotWhole);
  }
}

}  // namespace

void addRecoverCommand(CLI::App& app) {
  auto args = std::make_shared<RecoverArgs>();
  CLI::App* cmd = app.add_subcommand("recover", "copy files and folders of a volume to a folder");
  cmd->add_option("disk", args->disk, "disk device or image file")->required();
  addVolumeOptions(cmd, args->volume);
  cmd->add_option("--to", args->to, "destination folder (created when missing)")->required();
  cmd->add_flag("--all", args->all, "recover every file and folder of the root folder");
  cmd->add_option("paths", args->paths, "files or folders to recover, as `osprin list` prints them (/DIR/a.txt)");
  cmd->add_option("--duplicates", args->duplicates, "existing names: rename (default), overwrite or skip");
  cmd->add_option("--deleted", args->deleted, "deleted files: include (default), only or exclude");
  cmd->add_option("--filter", args->filters, "recover only files matching a pattern (repeatable, e.g. *.doc)")
      ->allow_extra_args(false);
  cmd->add_option("--retries", args->retries, "attempts on a bad sector, 1 to 10 (default 3)");
  cmd->add_flag("--force", args->force, "write to the destination even when it lies on the disk being recovered");
  cmd->add_flag("--json", args->json, "print the result as JSON");
  cmd->add_flag("--streams", args->streams,
                "NTFS: recover each file's named streams with it, as NAME:STREAM beside the file");
  cmd->add_flag("--only-intact", args->onlyIntact,
                "take deleted files only when their clusters are all free (verdict intact)");
  cmd->add_option("--report", args->report,
                  "write a report of the files copied, with SHA-256 and MD5 (FILE.json, FILE.csv or DFXML FILE.xml)");
  cmd->callback([args] { runRecover(*args); });
}

}  // namespace osprin::cli
