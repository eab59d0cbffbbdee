#pragma once
// Texts of the desktop program that the command line does not share.
#include <QString>

namespace osprin::gui::guitexts {

inline const char* const kLiveUpdate =
    "Osprin is updated through your system's package manager, with the other programs of the system "
    "(for example \"sudo apt update && sudo apt upgrade\" on Debian and Ubuntu, or the desktop's software updater).\n\n"
    "This is version %1.";
inline const char* const kNoBrowser =
    "No web browser could be started to show %1.\nOpen that address in a browser of your choice.";
inline const char* const kManualMissing =
    "The manual was not found (looked for %1).\nIt is installed with the program; reinstalling the program "
    "puts it back.";
inline const char* const kAbout =
    "Vantrel Osprin FAT and NTFS\nVersion %1\n\nRecovers files and folders from FAT16, FAT32 and NTFS disks and "
    "disk images. The disk is only ever read.\n\n%2";
inline const char* const kNoRightsNoService =
    "You may not read %1, and the desktop's disk service (udisks2) that could open it for you is not there "
    "(%2).\n\nRun Osprin with the rights to read the device (for example with sudo, or as a member of the "
    "\"disk\" group), or make an image of the disk and open it with \"Open Disk Image...\".";
inline const char* const kNoRightsRefused =
    "You may not read %1, and the desktop's disk service did not open it (%2).\n\nRun Osprin with the rights "
    "to read the device, or make an image of the disk and open it with \"Open Disk Image...\".";
inline const char* const kPartitionsFound = "Search finished: %n partition(s) found.";

}  // namespace osprin::gui::guitexts
