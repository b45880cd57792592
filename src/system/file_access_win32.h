#pragma once
// Who may change a file or folder on Windows, from its security descriptor (its owner and
// access list); only the *_win32 files and their tests include this.
#include <windows.h>

#include <optional>
#include <string_view>
#include <string>
#include <vector>

namespace p11agent::platform {

// The rights that let an account change what a program on a path is: on the program's
// file, on the folder that holds it, and on each folder above that (File Access Rights
// Constants, Microsoft's Win32 documentation).
struct ChangeRights {
  ACCESS_MASK file;
  ACCESS_MASK own_folder;
  ACCESS_MASK folder;
};

// The file: writing its data, deleting or renaming it, changing its access list or owner,
// and the generic rights that include these. A folder above the program's: deleting or
// renaming an entry in it (FILE_DELETE_CHILD), deleting or renaming the folder itself as an
// entry of the one above (DELETE), changing its access list or owner, and GENERIC_ALL;
// adding a new file or folder there changes nothing the path passes through (a standard
// Windows grants every signed-in user FILE_ADD_SUBDIRECTORY on C:\). The program's own
// folder: adding to it counts too (FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY, and GENERIC_WRITE,
// which holds them): Windows looks for the DLLs a program imports in the program's folder
// first unless they are KnownDLLs, so a DLL added there is loaded by whoever starts it
// ("Dynamic-link library search order"), and a 32-bit host added beside the agent where
// it is missing is started with the PINs.
inline constexpr ACCESS_MASK FOLDER_CHANGE_RIGHTS = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
inline constexpr ChangeRights PROGRAM_CHANGE_RIGHTS{
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL,
    FOLDER_CHANGE_RIGHTS | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE, FOLDER_CHANGE_RIGHTS};

// Why an account other than the administrators' (Administrators, SYSTEM, TrustedInstaller,
// and with `own_account_trusted` the account this process runs as) can change one object of
// the path: its owner is another account, it has no access list, or the list grants another
// account one of `rights`. nullopt when none can.
std::optional<std::string> descriptor_lets_others_change(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights,
                                                         bool own_account_trusted);

// The same for a whole path, its objects' descriptors from the program's file up to the
// drive's root (each with its name for the answer): the first one others can change, with
// why; nullopt when there is none.
struct PathObject {
  std::string name;
  PSECURITY_DESCRIPTOR descriptor;
};
std::optional<std::string> path_lets_others_change(const std::vector<PathObject>& from_file_up,
                                                   bool own_account_trusted,
                                                   const ChangeRights& rights = PROGRAM_CHANGE_RIGHTS);

// The account this process runs as, as a SID string ("S-1-5-21-..."); "" where it cannot be read.
std::wstring own_account_sid();
// Whether the SID is the account this process runs as.
bool is_own_account(PSID sid);

// Whether the path names a device rather than a file, from its text alone, before anything
// is opened (Microsoft's "Naming Files, Paths, and Namespaces"): the device namespace
// ("\\.\" and "\??\", and "\\?\" not followed by a drive or "UNC\"), and the reserved
// names CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with the digits ¹ ² ³), CONIN$ and CONOUT$
// as the last part of a path, with any extension and trailing spaces.
bool names_a_device(std::wstring_view path);

}  // namespace p11agent::platform
