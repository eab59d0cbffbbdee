#pragma once
// The program's own texts, shared by the desktop program and the tests.
#include <string_view>

namespace osprin::texts {

inline constexpr std::string_view kCaption = "Vantrel Osprin FAT and NTFS";
inline constexpr std::string_view kOutOfMemory = "Out of memory, close other applications and run again";

// Quick help of the wizard steps.
inline constexpr std::string_view kHelpDisk =
    "\r\n                1. Select the disk to scan from left pane.\r\n                2. Select the scan type.\r\n"
    "                3. Click Next Button.";
inline constexpr std::string_view kHelpPartition =
    "\r\n                1. Select the partition to recover from left pane or use Search Partitions for a quick "
    "search of missing partitions.\r\n                2. Click Next Button";
inline constexpr std::string_view kHelpFoundFs =
    "\r\n                1. Select the file system to recover from left pane.\r\n                2. Click Next Button.";
inline constexpr std::string_view kHelpBrowse =
    "\r\n                Please select the file(s) and folder(s) to recover from right pane and copy using   Recover "
    "Selected      or                             Recover All options from the Recovery Menu.\r\n                You "
    "can open a file by Double Clicking it.";
inline constexpr std::string_view kHelpStandardScan =
    "\r\n                Osprin is searching the data of the selected partition, once this process is completed it "
    "will show you the data.";
inline constexpr std::string_view kHelpDeepScan =
    "\r\n                Osprin is searching the data in selected range. Once this process is completed it will show "
    "you all the possible                      file systems.";
inline constexpr std::string_view kHelpMount =
    "\r\n                Osprin is mounting the selected file system. Once this process is completed, it will show "
    "you the data.";
inline constexpr std::string_view kHelpLostSearch =
    "\r\n                Please wait, Osprin is doing a quick search for partition(s), once this process is "
    "completed it will show you all                        the partition(s) found.";

// Messages.
inline constexpr std::string_view kNoPartitionsSearching =
    " No partitions found, going to make a quick search for missing partitions";
inline constexpr std::string_view kNoPartitionStandard = "No partition found, use advance mode to recover the data";
inline constexpr std::string_view kNoPartitionAdvanced =
    "No partition found, select file system type, and press next to search the full disk or you can define the "
    "searching range";
inline constexpr std::string_view kPartitionUnknownFs =
    "This partition holds no FAT16, FAT32 or NTFS file system that a standard scan can read. Use the advanced mode "
    "to search its range for a lost or damaged file system.";
inline constexpr std::string_view kStopQuestion = "Do you want to stop the current process ?";
inline constexpr std::string_view kExitQuestion = "Do you really want to exit ?";
inline constexpr std::string_view kStartInvalid = "      Start sector value is not valid, It should be a positive number";
inline constexpr std::string_view kEndInvalid = "      End sector value is not valid, It should be a positive number";
inline constexpr std::string_view kEndNotBigger = "      End sector should be bigger than start sector";
inline constexpr std::string_view kUnableToOpen = "Unable to open the file";
inline constexpr std::string_view kLiveUpdateQuestion =
    "The application will be closed if you want to run Live Update of the software. Continue ?";
inline constexpr std::string_view kLiveUpdateMissing = "Live Update file not found. Please re-install the software.";
inline constexpr std::string_view kHelpFileMissing = " Vantrel Osprin for FAT and NTFS.chm not found";
inline constexpr std::string_view kTechnicalReport = "here show the technical report of the present data recovery";
inline constexpr std::string_view kFindStopQuestion = "Do you want to stop file searching ?";
inline constexpr std::string_view kChooseDestination = "Please select the path to recover the data";

// Dialogs of the browse step.
inline constexpr std::string_view kSavingTitle = "Saving the data please wait";
inline constexpr std::string_view kRecoverySettingsTitle = "Recovery Settings";
inline constexpr std::string_view kFindFilesTitle = "Find File(s)";
inline constexpr std::string_view kFileFiltersTitle = "File Filters";
inline constexpr std::string_view kDriveInformationTitle = "Drive Information";
inline constexpr std::string_view kPropertiesTitle = "File/Folder Properties";
inline constexpr std::string_view kSnapshotFilter = "*.ZQRT";
inline constexpr std::string_view kErrorCreatingFile = "Error creating file : ";
inline constexpr std::string_view kContinueRecovery = ".  Continue Recovery ? ";
// Asked after the reason that checkDestination gives.
inline constexpr std::string_view kDestinationOnSourceQuestion =
    "\nWriting the recovered files there can overwrite the data you want to recover.\n\n"
    "Do you want to recover to this folder anyway ?";
// Asked when the snapshot's final name (upper case, ".ZQRT") names an existing
// file that the save dialog did not ask about.
inline constexpr std::string_view kReplaceExistingFile = " already exists.\nDo you want to replace it ?";
inline constexpr std::string_view kUseSnapshotAnyway = "\nDo you want to use it all the same ?";
inline constexpr std::string_view kOpenWithTitle = "Open With";
inline constexpr std::string_view kOpenWithPrompt = "Choose the program you want to use to open this file:";
inline constexpr std::string_view kOpenWithCommand = "Or type the command to run:";
inline constexpr std::string_view kUnableToStart = "Unable to start the program : ";

}  // namespace osprin::texts
