#pragma once
// Who may change a file or folder on Windows, from its security descriptor (its owner and
// access list); only the *_win32 files and their tests include this.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace p11agent::platform {

// The rights that let an account change what a program on a path is: on the program's
// file, and on each folder above it (File Access Rights Constants, Microsoft's Win32
// documentation).
struct ChangeRights {
  ACCESS_MASK file;
  ACCESS_MASK folder;
};

// The file: writing its data, deleting or renaming it, changing its access list or owner,
// and the generic rights that include these. A folder: deleting or renaming an entry in
// it (FILE_DELETE_CHILD), deleting or renaming the folder itself as an entry of the one
// above (DELETE), changing its access list or owner, and GENERIC_ALL. Adding a new file or
// folder to a folder (FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY, so GENERIC_WRITE too) changes
// nothing the path passes through: a standard Windows grants every signed-in user
// FILE_ADD_SUBDIRECTORY on C:\.
inline constexpr ChangeRights PROGRAM_CHANGE_RIGHTS{
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL,
    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL};

// Why an account other than the administrators' (Administrators, SYSTEM, TrustedInstaller,
// or the administrator this process runs as) can change one object of the path: its owner
// is another account, it has no access list, or the list grants another account one of
// `rights`. nullopt when none can.
std::optional<std::string> descriptor_lets_others_change(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights);

// The same for a whole path, its objects' descriptors from the program's file up to the
// drive's root (each with its name for the answer): the first one others can change, with
// why; nullopt when there is none.
struct PathObject {
  std::string name;
  PSECURITY_DESCRIPTOR descriptor;
};
std::optional<std::string> path_lets_others_change(const std::vector<PathObject>& from_file_up,
                                                   const ChangeRights& rights = PROGRAM_CHANGE_RIGHTS);

}  // namespace p11agent::platform
