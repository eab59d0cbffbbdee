#pragma once
// The command line's texts for what long work reports: counter and text
// labels, and the status line of each phase.
#include <string>

#include "common/observer.h"

namespace osprin::cli {

inline const char* cliText(Counter c) {
  switch (c) {
    case Counter::FoldersFound: return "Folder(s) Found";
    case Counter::FilesFound: return "File(s) Found";
    case Counter::CurrentSector: return "Current Sector";
    case Counter::BootSectorsFound: return "Boot Sector(s) Found";
    case Counter::IndexEntriesFound: return "Index Entries Found";
    case Counter::PartitionsFound: return "Partitions Found";
    case Counter::MatchesFound: return "Files Found";
    case Counter::FilesSaved: return "Total Files";
  }
  return "";
}

inline const char* cliText(TextField f) {
  switch (f) {
    case TextField::LastFileFolder: return "Last File/Folder";
    case TextField::LastMatch: return "Last File";
    case TextField::SaveFolder: return "Path";
    case TextField::SaveFileName: return "File Name";
  }
  return "";
}

inline std::string cliText(const PhaseInfo& p) {
  const std::string n = std::to_string(p.n), of = std::to_string(p.of);
  switch (p.phase) {
    case Phase::None: return "";
    case Phase::SearchingPartitions: return "Searching For Partitions";
    case Phase::CalculatingParameters: return "Calculating partition parameters";
    case Phase::MountingVolume: return "Mounting volume, please wait...";
    case Phase::ReadingSector: return "Reading Sector " + n + " Of " + of;
    case Phase::SearchingLostData: return "Searching For Lost Data";
    case Phase::CreatingDirectoryTree: return "Creating Directory Tree";
    case Phase::AnalysingFatData: return "Analysing data found........";
    case Phase::AssigningMftNumbers: return p.n == 0 ? "Assign MFT numbers " : "Assign MFT numbers " + n + " \\ " + of;
    case Phase::DeletingUnusedItems: return "Delete unused items";
    case Phase::AnalyzingClassification:
      return p.n == 0 ? "Analyzing Classification " : "Analyzing Classification " + n + " \\ " + of;
    case Phase::MountStep: return "Step " + n + " / " + of + " ....";
    case Phase::ExtractingEntries: return "Extracting entries for the file system";
    case Phase::CreatingTreeStructure: return "Creating Tree Structure";
  }
  return "";
}

}  // namespace osprin::cli
