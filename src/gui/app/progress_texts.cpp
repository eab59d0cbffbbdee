#include "app/progress_texts.h"

namespace osprin::gui {

QString guiText(Counter c) {
  switch (c) {
    case Counter::FoldersFound: return QStringLiteral("Folder(s) Found");
    case Counter::FilesFound: return QStringLiteral("File(s) Found");
    case Counter::CurrentSector: return QStringLiteral("Current Sector");
    case Counter::BootSectorsFound: return QStringLiteral("Boot Sector(s) Found");
    case Counter::IndexEntriesFound: return QStringLiteral("Index Entries Found");
    case Counter::PartitionsFound: return QStringLiteral("Partitions Found");
    case Counter::MatchesFound: return QStringLiteral("Files Found");
    case Counter::FilesSaved: return QStringLiteral("Total Files");
  }
  return {};
}

QString guiText(TextField f) {
  switch (f) {
    case TextField::LastFileFolder: return QStringLiteral("Last File/Folder");
    case TextField::LastMatch: return QStringLiteral("Last File");
    case TextField::SaveFolder: return QStringLiteral("Path");
    case TextField::SaveFileName: return QStringLiteral("File Name");
  }
  return {};
}

QString guiText(const PhaseInfo& p) {
  const QString n = QString::number(p.n), of = QString::number(p.of);
  switch (p.phase) {
    case Phase::None: return {};
    case Phase::SearchingPartitions: return QStringLiteral("Searching For Partitions");
    case Phase::CalculatingParameters: return QStringLiteral("Calculating partition parameters");
    case Phase::MountingVolume: return QStringLiteral("Mounting volume, please wait...");
    case Phase::ReadingSector: return QStringLiteral("Reading Sector %1 Of %2").arg(n, of);
    case Phase::SearchingLostData: return QStringLiteral("Searching For Lost Data");
    case Phase::CreatingDirectoryTree: return QStringLiteral("Creating Directory Tree");
    case Phase::AnalysingFatData: return QStringLiteral("Analysing data found........");
    case Phase::AssigningMftNumbers:
      return p.n == 0 ? QStringLiteral("Assign MFT numbers ") : QStringLiteral("Assign MFT numbers %1 \\ %2").arg(n, of);
    case Phase::DeletingUnusedItems: return QStringLiteral("Delete unused items");
    case Phase::AnalyzingClassification:
      return p.n == 0 ? QStringLiteral("Analyzing Classification ")
                      : QStringLiteral("Analyzing Classification %1 \\ %2").arg(n, of);
    case Phase::MountStep: return QStringLiteral("Step %1 / %2 ....").arg(n, of);
    case Phase::ExtractingEntries: return QStringLiteral("Extracting entries for the file system");
    case Phase::CreatingTreeStructure: return QStringLiteral("Creating Tree Structure");
  }
  return {};
}

}  // namespace osprin::gui
