// The texts the window and the command line show for what long work
// reports: every counter, text value and phase (with numbers where the
// phase has them). Both tables of texts are checked against this one.
#pragma once

#include <ostream>

#include "common/observer.h"
#include "support/phase_print.h"

namespace osprin::test {

struct CounterText {
  Counter which;
  const char* text;
};
inline const CounterText kCounterTexts[] = {
    {Counter::FoldersFound, "Folder(s) Found"},
    {Counter::FilesFound, "File(s) Found"},
    {Counter::CurrentSector, "Current Sector"},
    {Counter::BootSectorsFound, "Boot Sector(s) Found"},
    {Counter::IndexEntriesFound, "Index Entries Found"},
    {Counter::PartitionsFound, "Partitions Found"},
    {Counter::MatchesFound, "Files Found"},
    {Counter::FilesSaved, "Total Files"},
};

struct TextFieldText {
  TextField which;
  const char* text;
};
inline const TextFieldText kTextFieldTexts[] = {
    {TextField::LastFileFolder, "Last File/Folder"},
    {TextField::LastMatch, "Last File"},
    {TextField::SaveFolder, "Path"},
    {TextField::SaveFileName, "File Name"},
};

struct PhaseText {
  PhaseInfo phase;
  const char* text;
};
inline const PhaseText kPhaseTexts[] = {
    {{Phase::None}, ""},
    {{Phase::SearchingPartitions}, "Searching For Partitions"},
    {{Phase::CalculatingParameters}, "Calculating partition parameters"},
    {{Phase::MountingVolume}, "Mounting volume, please wait..."},
    {{Phase::ReadingSector, 348, 800}, "Reading Sector 348 Of 800"},
    {{Phase::ReadingSector, 0, 0}, "Reading Sector 0 Of 0"},
    {{Phase::SearchingLostData}, "Searching For Lost Data"},
    {{Phase::CreatingDirectoryTree}, "Creating Directory Tree"},
    {{Phase::AnalysingFatData}, "Analysing data found........"},
    {{Phase::AssigningMftNumbers}, "Assign MFT numbers "},
    {{Phase::AssigningMftNumbers, 1, 1}, "Assign MFT numbers 1 \\ 1"},
    {{Phase::AssigningMftNumbers, 17, 4000000000}, "Assign MFT numbers 17 \\ 4000000000"},
    {{Phase::DeletingUnusedItems}, "Delete unused items"},
    {{Phase::AnalyzingClassification}, "Analyzing Classification "},
    {{Phase::AnalyzingClassification, 2, 2}, "Analyzing Classification 2 \\ 2"},
    {{Phase::MountStep, 1, 5}, "Step 1 / 5 ...."},
    {{Phase::MountStep, 5, 5}, "Step 5 / 5 ...."},
    {{Phase::ExtractingEntries}, "Extracting entries for the file system"},
    {{Phase::CreatingTreeStructure}, "Creating Tree Structure"},
};

inline void PrintTo(const CounterText& t, std::ostream* os) { *os << t.text; }
inline void PrintTo(const TextFieldText& t, std::ostream* os) { *os << t.text; }
inline void PrintTo(const PhaseText& t, std::ostream* os) { *os << '"' << t.text << '"'; }

// True when every value of the enum below `kinds` has a row in the table.
template <class Enum, class Row, std::size_t N>
bool coversAll(const Row (&rows)[N], int kinds, Enum Row::*which) {
  for (int k = 0; k < kinds; ++k) {
    bool found = false;
    for (const Row& r : rows) found = found || static_cast<int>(r.*which) == k;
    if (!found) return false;
  }
  return true;
}

inline bool coversAllPhases() {
  for (int k = 0; k < kPhaseKinds; ++k) {
    bool found = false;
    for (const PhaseText& r : kPhaseTexts) found = found || static_cast<int>(r.phase.phase) == k;
    if (!found) return false;
  }
  return true;
}

}  // namespace osprin::test
