// Who may change Varnel's folder and the folders above it: setup's verdicts on
// an owner and access list, kept apart from Windows so that they run anywhere.
#pragma once

#include <cstdint>

// Access bits of files and folders (the values of Windows' own headers).
constexpr uint32_t FOLDER_ADD_FILE = 0x00000002;
constexpr uint32_t FOLDER_ADD_SUBFOLDER = 0x00000004;
constexpr uint32_t FOLDER_DELETE_CHILD = 0x00000040;
constexpr uint32_t ACCESS_DELETE = 0x00010000;
constexpr uint32_t ACCESS_WRITE_DAC = 0x00040000;
constexpr uint32_t ACCESS_WRITE_OWNER = 0x00080000;
constexpr uint32_t ACCESS_GENERIC_ALL = 0x10000000;
constexpr uint32_t ACCESS_GENERIC_EXECUTE = 0x20000000;
constexpr uint32_t ACCESS_GENERIC_WRITE = 0x40000000;
constexpr uint32_t ACCESS_GENERIC_READ = 0x80000000;
constexpr uint32_t FILE_ALL = 0x001F01FF;               // full control
constexpr uint32_t FILE_READ_AND_EXECUTE = 0x001200A9;  // list, read, run; what Users get
constexpr uint32_t FILE_MODIFY = 0x001301BF;            // everything but permissions and owner

// The accounts that count as administrators here.
constexpr const char* SID_SYSTEM = "S-1-5-18";
constexpr const char* SID_ADMINISTRATORS = "S-1-5-32-544";
constexpr const char* SID_TRUSTED_INSTALLER =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// One entry of an access list.
struct AccessEntry {
    bool Allow;        // false for deny and audit entries, which are not judged
    bool InheritOnly;  // passed on to what the folder will hold, not in force on it
    uint32_t Mask;     // access bits, generic ones included
    const char* Sid;   // "S-1-5-32-545"
};

// What Windows reports for a folder.
struct FolderSecurity {
    const char* Owner;    // the owner's SID
    bool HasAccessList;   // false: no list at all, so anyone may do anything
    const AccessEntry* Entries;
    uint32_t EntryCount;
};

enum FolderVerdict : uint8_t {
    FOLDER_SAFE,
    FOLDER_NO_ACCESS_LIST,       // anyone may do anything
    FOLDER_OWNED_BY_OTHER,       // Who owns it, and so may change its permissions
    FOLDER_OTHER_MAY_TAKE_OVER,  // Who may change its permissions or owner
    FOLDER_OTHER_MAY_DELETE,     // Who may delete or rename it or what it holds
    FOLDER_OTHER_MAY_WRITE,      // Who may add or change what it holds
};

struct FolderFinding {
    FolderVerdict Verdict;
    const char* Who;  // the SID the verdict is about; null when FOLDER_SAFE or no list
};

// SYSTEM, the Administrators group, TrustedInstaller, and setupAccount (the
// SID setup runs as, when it is an administrator; null or empty otherwise).
bool IsAdministrator(const char* sid, const char* setupAccount);

// A folder above Varnel's: no one but administrators may delete, rename or
// take over what it holds, so nobody else can put another folder in the place
// of Varnel's. Adding folders is allowed (a drive's root lets every user).
FolderFinding JudgeParentFolder(const FolderSecurity& folder, const char* setupAccount);

// Varnel's own folder: owned by administrators, and anyone else may at most
// list, read and run what it holds, now and in what it passes on to new files.
FolderFinding JudgeInstallFolder(const FolderSecurity& folder, const char* setupAccount);
