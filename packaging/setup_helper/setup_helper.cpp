// The installer's helper, packed into setup and the uninstaller and run from
// their temporary folder, never installed. It makes Varnel's folder with its
// permissions in the call that creates it and checks them and every folder
// above it, ends the copies of Varnel that run from the folder, and tells
// whether an account may change the system time. Each thing it finds or does
// is one line appended to the log (UTF-16) that setup shows and keeps; when it
// refuses, the last line says why.
//
// A program rather than System plug-in calls in the installer script: walking
// access lists, processes and group memberships there would be long and
// untestable, while here the verdicts are portable code (folder_rules.h)
// tested natively, and the same code runs in the installer.
//
// Usage: varnel-setup-helper folder LOG PATH new|update
//        varnel-setup-helper stop LOG FOLDER
//        varnel-setup-helper clockright LOG DOMAIN\name
#include <windows.h>
#include <aclapi.h>
#include <authz.h>
#include <ntsecapi.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <cstdarg>

#include "packaging/setup_helper/folder_rules.h"

enum HelperExit : int {
    HELPER_DONE = 0,           // folder ready; nothing stopped; the right is held
    HELPER_VARNEL_STOPPED = 1, // stop: a varnel.exe was ended, so start it again
    HELPER_NO_RIGHT = 1,       // clockright: the account cannot change the time
    HELPER_REFUSED = 2,        // folder: not fit for Varnel, nothing changed
    HELPER_USAGE = 3,
};

// SYSTEM and Administrators full control, Users read and run; passed on to
// everything created inside, and shielded from the parent's entries.
constexpr const wchar_t* FOLDER_SDDL =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr const wchar_t* FILE_SDDL = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

constexpr DWORD PATH_CHARS = 1024;  // as long as setup's own strings
constexpr DWORD NAME_CHARS = 256;
constexpr int SID_CHARS = 188;      // the longest SID as text, with its zero
constexpr DWORD MAX_ENTRIES = 64;   // of one access list
constexpr int MAX_COPIES = 64;      // running copies ended in one go
constexpr DWORD CLOSE_WAIT_MS = 5000;

static HANDLE LogFile = INVALID_HANDLE_VALUE;

// Appends one line (up to 1024 characters) to the log.
static void Say(const wchar_t* format, ...)
{
    wchar_t line[1024 + 3];
    va_list args;
    va_start(args, format);
    int length = wvsprintfW(line, format, args);
    va_end(args);
    if (length < 0)
        length = 0;
    line[length++] = L'\r';
    line[length++] = L'\n';
    DWORD written;
    if (LogFile != INVALID_HANDLE_VALUE)
        WriteFile(LogFile, line, DWORD(length) * sizeof(wchar_t), &written, nullptr);
}

// "DOMAIN\name" of a SID, or the SID itself when Windows knows no name for
// it; out holds NAME_CHARS.
static void AccountName(PSID sid, wchar_t* out)
{
    wchar_t name[NAME_CHARS], domain[NAME_CHARS];
    DWORD nameSize = NAME_CHARS, domainSize = NAME_CHARS;
    SID_NAME_USE use;
    if (sid != nullptr && LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        if (domain[0] != L'\0')
            wsprintfW(out, L"%.120s\\%.120s", domain, name);
        else
            lstrcpynW(out, name, NAME_CHARS);
        return;
    }
    LPWSTR text = nullptr;
    if (sid != nullptr && ConvertSidToStringSidW(sid, &text)) {
        lstrcpynW(out, text, NAME_CHARS);
        LocalFree(text);
    } else {
        lstrcpynW(out, L"an unknown account", NAME_CHARS);
    }
}

static void AccountNameOfText(const char* sidText, wchar_t* out)
{
    PSID sid = nullptr;
    if (ConvertStringSidToSidA(sidText, &sid)) {
        AccountName(sid, out);
        LocalFree(sid);
    } else {
        AccountName(nullptr, out);
    }
}

static bool SidText(PSID sid, char* out)
{
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return false;
    lstrcpynA(out, text, SID_CHARS);
    LocalFree(text);
    return true;
}

// The SID setup runs as, as text, when it is an administrator (it must be, to
// change Program Files); empty otherwise.
static char SetupAccount[SID_CHARS];

static void FindSetupAccount()
{
    SetupAccount[0] = '\0';
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !CheckTokenMembership(nullptr, administrators, &member) || !member)
        return;
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length))
        SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, SetupAccount);
    CloseHandle(token);
}

// ---- Folders

static char EntrySids[MAX_ENTRIES][SID_CHARS];
static AccessEntry Entries[MAX_ENTRIES];
static char OwnerSid[SID_CHARS];

// The owner and access list of path, as Windows reports them; 0 or an error.
static DWORD ReadFolderSecurity(const wchar_t* path, FolderSecurity* folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL list = nullptr;
    DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                        nullptr, &list, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return error;
    folder->Owner = OwnerSid;
    folder->HasAccessList = list != nullptr;
    folder->Entries = Entries;
    folder->EntryCount = list != nullptr ? list->AceCount : 0;
    if (owner == nullptr || !SidText(owner, OwnerSid))
        error = ERROR_INVALID_OWNER;
    else if (folder->EntryCount > MAX_ENTRIES)
        error = ERROR_BUFFER_OVERFLOW;
    for (DWORD i = 0; error == ERROR_SUCCESS && i < folder->EntryCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(list, i, &ace)) {
            error = GetLastError();
            break;
        }
        const ACE_HEADER* header = static_cast<ACE_HEADER*>(ace);
        AccessEntry& entry = Entries[i];
        // Callback entries are laid out as plain ones, conditions aside.
        entry.Allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                      header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        entry.InheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        entry.Mask = 0;
        entry.Sid = EntrySids[i];
        EntrySids[i][0] = '\0';
        if (entry.Allow) {
            const ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            entry.Mask = allowed->Mask;
            if (!SidText(const_cast<DWORD*>(&allowed->SidStart), EntrySids[i]))
                error = GetLastError();
        }
    }
    LocalFree(descriptor);
    return error;
}

// The verdict on path as a sentence, path and account filled in.
static void SayFinding(const wchar_t* path, FolderFinding finding)
{
    wchar_t who[NAME_CHARS] = L"";
    if (finding.Who != nullptr)
        AccountNameOfText(finding.Who, who);
    switch (finding.Verdict) {
    case FOLDER_NO_ACCESS_LIST:
        Say(L"%s has no permissions at all, so anyone may change it.", path);
        break;
    case FOLDER_OWNED_BY_OTHER:
        Say(L"%s is owned by %s, who may change its permissions.", path, who);
        break;
    case FOLDER_OTHER_MAY_TAKE_OVER:
        Say(L"%s lets %s change its permissions or owner.", path, who);
        break;
    case FOLDER_OTHER_MAY_DELETE:
        Say(L"%s lets %s delete or rename it, or what it holds.", path, who);
        break;
    case FOLDER_OTHER_MAY_WRITE:
        Say(L"%s lets %s add or change files in it.", path, who);
        break;
    case FOLDER_SAFE:
        break;
    }
}

static int Refuse(const wchar_t* format, const wchar_t* path, DWORD error = 0)
{
    Say(format, path, error);
    return HELPER_REFUSED;
}

// The folder's owner and access list read back after setup set them.
static bool CheckedInstallFolder(const wchar_t* path)
{
    FolderSecurity folder;
    const DWORD error = ReadFolderSecurity(path, &folder);
    if (error != ERROR_SUCCESS) {
        Say(L"Setup could not read back who may change %s (error %lu).", path, error);
        return false;
    }
    const FolderFinding finding = JudgeInstallFolder(folder, SetupAccount);
    if (finding.Verdict != FOLDER_SAFE) {
        SayFinding(path, finding);
        return false;
    }
    wchar_t owner[NAME_CHARS];
    AccountNameOfText(folder.Owner, owner);
    Say(L"Checked %s: owned by %s, and no one but administrators may change it.", path, owner);
    return true;
}

static PSECURITY_DESCRIPTOR Descriptor(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
    return descriptor;
}

// Makes each missing folder from path[0..from) on with its permissions in the
// call that creates it, then checks them; removes what it made on failure.
static int MakeFolders(wchar_t* path, DWORD from)
{
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, Descriptor(FOLDER_SDDL), FALSE};
    if (attributes.lpSecurityDescriptor == nullptr)
        return Refuse(L"Setup could not build the permissions for %s (error %lu).", path, GetLastError());
    DWORD made[PATH_CHARS / 2];
    int madeCount = 0;
    int code = HELPER_DONE;
    for (DWORD end = from;; ++end) {
        if (path[end] != L'\\' && path[end] != L'\0')
            continue;
        const wchar_t kept = path[end];
        path[end] = L'\0';
        if (!CreateDirectoryW(path, &attributes)) {
            code = Refuse(L"Setup could not make %s (error %lu).", path, GetLastError());
        } else {
            made[madeCount++] = end;
            Say(L"Made %s with its permissions: owned by Administrators; SYSTEM and Administrators "
                L"may change it, Users may list, read and run what it holds.", path);
            if (!CheckedInstallFolder(path))
                code = HELPER_REFUSED;
        }
        path[end] = kept;
        if (code != HELPER_DONE || kept == L'\0')
            break;
    }
    LocalFree(attributes.lpSecurityDescriptor);
    if (code != HELPER_DONE) {
        for (int i = madeCount - 1; i >= 0; --i) {
            const wchar_t kept = path[made[i]];
            path[made[i]] = L'\0';
            RemoveDirectoryW(path);
            path[made[i]] = kept;
        }
    }
    return code;
}

// An earlier install's folder: owned by administrators, then its permissions
// and those of every file in it set again and checked.
static int SecureExistingFolder(const wchar_t* path)
{
    FolderSecurity folder;
    DWORD error = ReadFolderSecurity(path, &folder);
    if (error != ERROR_SUCCESS)
        return Refuse(L"Setup could not read who may change %s (error %lu).", path, error);
    if (!IsAdministrator(folder.Owner, SetupAccount)) {
        SayFinding(path, {FOLDER_OWNED_BY_OTHER, folder.Owner});
        return HELPER_REFUSED;
    }
    PSECURITY_DESCRIPTOR folderDescriptor = Descriptor(FOLDER_SDDL);
    PSECURITY_DESCRIPTOR fileDescriptor = Descriptor(FILE_SDDL);
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    int code = HELPER_DONE;
    if (folderDescriptor == nullptr || fileDescriptor == nullptr || !SetFileSecurityW(path, parts, folderDescriptor))
        code = Refuse(L"Setup could not set who may change %s (error %lu).", path, GetLastError());
    wchar_t pattern[PATH_CHARS + 2];
    wsprintfW(pattern, L"%s\\*", path);
    WIN32_FIND_DATAW found;
    HANDLE search = code == HELPER_DONE ? FindFirstFileW(pattern, &found) : INVALID_HANDLE_VALUE;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more && code == HELPER_DONE;
         more = FindNextFileW(search, &found)) {
        if (lstrcmpW(found.cFileName, L".") == 0 || lstrcmpW(found.cFileName, L"..") == 0)
            continue;
        wchar_t file[PATH_CHARS + MAX_PATH + 2];
        wsprintfW(file, L"%s\\%s", path, found.cFileName);
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
            code = Refuse(L"%s is a folder or a link, not one of Varnel's files.", file);
        else if (!SetFileSecurityW(file, parts, fileDescriptor))
            code = Refuse(L"Setup could not set who may change %s (error %lu).", file, GetLastError());
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    LocalFree(folderDescriptor);
    LocalFree(fileDescriptor);
    if (code == HELPER_DONE && !CheckedInstallFolder(path))
        code = HELPER_REFUSED;
    return code;
}

// Varnel's folder: a real folder on a drive of this PC, under folders that
// only administrators may delete, rename or take over. A new one is made here;
// an earlier install's is secured again.
static int PrepareFolder(const wchar_t* requested, bool isNew)
{
    wchar_t path[PATH_CHARS];
    const DWORD length = GetFullPathNameW(requested, PATH_CHARS, path, nullptr);
    const bool onDrive = length > 3 && length < PATH_CHARS && path[1] == L':' && path[2] == L'\\' &&
                         ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    if (!onDrive)
        return Refuse(L"%s is not a folder on one of this PC's drives.", requested);
    if (path[length - 1] == L'\\')
        path[length - 1] = L'\0';

    // Each folder from the drive's root down, as far as they exist.
    wchar_t prefix[PATH_CHARS];
    DWORD missingFrom = 0;  // where the first missing folder's name ends; 0: none missing
    for (DWORD end = 2;; ++end) {
        if (path[end] != L'\\' && path[end] != L'\0')
            continue;
        const bool isLast = path[end] == L'\0';
        lstrcpynW(prefix, path, int(end == 2 ? end + 2 : end + 1));  // "C:\" for the root
        const DWORD attributes = GetFileAttributesW(prefix);
        const DWORD error = GetLastError();
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                return Refuse(L"Setup could not look at %s (error %lu).", prefix, error);
            missingFrom = end;
            break;
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return Refuse(L"%s is a link to another place (a junction or symbolic link): "
                          L"setup puts Varnel only in real folders.", prefix);
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Refuse(L"%s is a file, not a folder.", prefix);
        if (isLast)
            break;
        FolderSecurity folder;
        const DWORD readError = ReadFolderSecurity(prefix, &folder);
        if (readError != ERROR_SUCCESS)
            return Refuse(L"Setup could not read who may change %s (error %lu).", prefix, readError);
        const FolderFinding finding = JudgeParentFolder(folder, SetupAccount);
        if (finding.Verdict != FOLDER_SAFE) {
            SayFinding(prefix, finding);
            return HELPER_REFUSED;
        }
    }

    if (isNew) {
        if (missingFrom == 0)
            return Refuse(L"%s exists already and is not the folder of an earlier Varnel install: setup "
                          L"makes Varnel's folder itself.", path);
        // Back to where the first missing folder's name starts.
        DWORD from = missingFrom;
        while (path[from - 1] != L'\\')
            --from;
        return MakeFolders(path, from);
    }
    if (missingFrom != 0)
        return Refuse(L"%s, the folder of the earlier install, is gone.", path);
    return SecureExistingFolder(path);
}

// ---- Running copies

static void EnablePrivilege(const wchar_t* name)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
}

// A program running from Varnel's folder, which Windows keeps from being
// replaced or removed while it runs.
struct RunningCopy {
    HANDLE Process;
    DWORD Id;
    DWORD Session;
    bool IsVarnel;  // varnel.exe, which the log-on task starts again
    bool Asked;     // its window was asked to close
    wchar_t Name[MAX_PATH];
    wchar_t User[NAME_CHARS];
};
static RunningCopy Copies[MAX_COPIES];
static int CopyCount = 0;

// Varnel's hidden window closes as its menu's Close does, removing its icon.
static BOOL CALLBACK AskToClose(HWND window, LPARAM)
{
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    wchar_t name[16];
    for (int i = 0; i < CopyCount; ++i) {
        if (Copies[i].Id == id && Copies[i].IsVarnel && GetClassNameW(window, name, 16) &&
            lstrcmpW(name, L"Varnel") == 0 && PostMessageW(window, WM_CLOSE, 0, 0))
            Copies[i].Asked = true;
    }
    return TRUE;
}

static bool SameText(const wchar_t* a, int aLength, const wchar_t* b)
{
    return CompareStringOrdinal(a, aLength, b, -1, TRUE) == CSTR_EQUAL;
}

// Ends every program whose exe lies in folder: first by asking Varnel's
// window to close, then by force. Copies of other users and sessions
// included (fast user switching, a terminal server); others are left alone.
static int StopCopies(const wchar_t* requested)
{
    wchar_t folder[PATH_CHARS];
    DWORD length = GetFullPathNameW(requested, PATH_CHARS, folder, nullptr);
    if (length == 0 || length >= PATH_CHARS)
        return HELPER_DONE;
    length = GetLongPathNameW(folder, folder, PATH_CHARS);  // as the exe's path spells it
    if (length == 0 || length >= PATH_CHARS)
        return HELPER_DONE;  // no folder, nothing runs from it
    EnablePrivilege(SE_DEBUG_NAME);  // to reach other users' copies

    WTS_PROCESS_INFOW* processes = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count)) {
        Say(L"Setup could not list the running programs (error %lu).", GetLastError());
        return HELPER_DONE;
    }
    for (DWORD i = 0; i < count && CopyCount < MAX_COPIES; ++i) {
        if (processes[i].ProcessId == GetCurrentProcessId())
            continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                                     FALSE, processes[i].ProcessId);
        if (process == nullptr)
            continue;
        wchar_t image[PATH_CHARS];
        DWORD size = PATH_CHARS;
        const wchar_t* name = nullptr;
        if (QueryFullProcessImageNameW(process, 0, image, &size)) {
            for (DWORD c = 0; c < size; ++c)
                if (image[c] == L'\\')
                    name = image + c + 1;
        }
        if (name == nullptr || !SameText(image, int(name - 1 - image), folder)) {
            CloseHandle(process);
            continue;
        }
        RunningCopy& copy = Copies[CopyCount++];
        copy.Process = process;
        copy.Id = processes[i].ProcessId;
        copy.Session = processes[i].SessionId;
        copy.IsVarnel = SameText(name, -1, L"varnel.exe");
        copy.Asked = false;
        lstrcpynW(copy.Name, name, MAX_PATH);
        AccountName(processes[i].pUserSid, copy.User);
    }
    WTSFreeMemory(processes);

    EnumWindows(AskToClose, 0);
    const DWORD start = GetTickCount();
    bool varnelStopped = false;
    for (int i = 0; i < CopyCount; ++i) {
        RunningCopy& copy = Copies[i];
        const DWORD waited = GetTickCount() - start;
        bool ended = copy.Asked &&
                     WaitForSingleObject(copy.Process, waited < CLOSE_WAIT_MS ? CLOSE_WAIT_MS - waited : 0) ==
                         WAIT_OBJECT_0;
        if (ended) {
            Say(L"Closed %s (process %lu) of %s in session %lu.", copy.Name, copy.Id, copy.User, copy.Session);
        } else if (TerminateProcess(copy.Process, 1) &&
                   WaitForSingleObject(copy.Process, CLOSE_WAIT_MS) == WAIT_OBJECT_0) {
            ended = true;
            Say(L"Ended %s (process %lu) of %s in session %lu.", copy.Name, copy.Id, copy.User, copy.Session);
        } else {
            Say(L"Could not end %s (process %lu) of %s in session %lu (error %lu): its files cannot be "
                L"replaced while it runs.", copy.Name, copy.Id, copy.User, copy.Session, GetLastError());
        }
        varnelStopped = varnelStopped || (ended && copy.IsVarnel);
        CloseHandle(copy.Process);
    }
    return varnelStopped ? HELPER_VARNEL_STOPPED : HELPER_DONE;
}

// ---- The right to change the system time

static BYTE GroupsBuffer[65536];

// Whether account holds "SeSystemtimePrivilege" itself or through one of its
// groups, as its log-on task (with the highest privileges) will: for setup's
// own account, in setup's own token; for another, in the local policy against
// the groups Windows computes for it.
static int CheckClockRight(const wchar_t* account)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid, domainSize = NAME_CHARS;
    wchar_t domain[NAME_CHARS];
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, account, sid, &sidSize, domain, &domainSize, &use)) {
        Say(L"%s cannot change the system time: Windows knows no such account.", account);
        return HELPER_NO_RIGHT;
    }
    LUID right;
    LookupPrivilegeValueW(nullptr, SE_SYSTEMTIME_NAME, &right);
    bool held = false;
    DWORD error = ERROR_SUCCESS;

    HANDLE token = nullptr;
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    const bool isSetupAccount = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                                GetTokenInformation(token, TokenUser, user, sizeof user, &length) &&
                                EqualSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, sid);
    if (isSetupAccount) {
        if (GetTokenInformation(token, TokenPrivileges, GroupsBuffer, sizeof GroupsBuffer, &length)) {
            const TOKEN_PRIVILEGES* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(GroupsBuffer);
            for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
                held = held || (privileges->Privileges[i].Luid.LowPart == right.LowPart &&
                                privileges->Privileges[i].Luid.HighPart == right.HighPart);
        } else {
            error = GetLastError();
        }
    } else {
        // Who holds the right, and the account's groups (nested, domain and
        // well-known ones included).
        LSA_OBJECT_ATTRIBUTES attributes = {};
        LSA_HANDLE policy = nullptr;
        wchar_t rightName[] = SE_SYSTEMTIME_NAME;
        LSA_UNICODE_STRING name = {USHORT(sizeof rightName - sizeof(wchar_t)), USHORT(sizeof rightName), rightName};
        LSA_ENUMERATION_INFORMATION* holders = nullptr;
        ULONG holderCount = 0;
        NTSTATUS status = LsaOpenPolicy(nullptr, &attributes, POLICY_LOOKUP_NAMES | POLICY_VIEW_LOCAL_INFORMATION,
                                        &policy);
        if (status == 0) {
            status = LsaEnumerateAccountsWithUserRight(policy, &name, reinterpret_cast<void**>(&holders),
                                                       &holderCount);
            if (status == LONG(0x8000001A))  // no more entries: no one holds it
                status = 0;
            LsaClose(policy);
        }
        if (status != 0)
            error = LsaNtStatusToWinError(status);

        AUTHZ_RESOURCE_MANAGER_HANDLE manager = nullptr;
        AUTHZ_CLIENT_CONTEXT_HANDLE context = nullptr;
        DWORD size = 0;
        if (error == ERROR_SUCCESS &&
            !(AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr, &manager) &&
              AuthzInitializeContextFromSid(0, sid, manager, nullptr, LUID{}, nullptr, &context) &&
              AuthzGetInformationFromContext(context, AuthzContextInfoGroupsSids, sizeof GroupsBuffer, &size,
                                             GroupsBuffer)))
            error = GetLastError();
        const TOKEN_GROUPS* groups = reinterpret_cast<TOKEN_GROUPS*>(GroupsBuffer);
        for (ULONG h = 0; error == ERROR_SUCCESS && h < holderCount; ++h) {
            held = held || EqualSid(holders[h].Sid, sid);
            for (DWORD g = 0; g < groups->GroupCount; ++g)
                held = held || EqualSid(holders[h].Sid, groups->Groups[g].Sid);
        }
        if (context != nullptr)
            AuthzFreeContext(context);
        if (manager != nullptr)
            AuthzFreeResourceManager(manager);
        if (holders != nullptr)
            LsaFreeMemory(holders);
    }
    if (token != nullptr)
        CloseHandle(token);

    if (error != ERROR_SUCCESS) {
        Say(L"Setup could not tell whether %s may change the system time (error %lu).", account, error);
        return HELPER_NO_RIGHT;
    }
    if (!held) {
        Say(L"%s cannot change the system time: neither the account nor any of its groups holds the "
            L"right \"Change the system time\".", account);
        return HELPER_NO_RIGHT;
    }
    Say(L"%s may change the system time.", account);
    return HELPER_DONE;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4)
        return HELPER_USAGE;
    LogFile = CreateFileW(argv[2], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    FindSetupAccount();
    int code = HELPER_USAGE;
    if (argc == 5 && lstrcmpW(argv[1], L"folder") == 0 &&
        (lstrcmpW(argv[4], L"new") == 0 || lstrcmpW(argv[4], L"update") == 0))
        code = PrepareFolder(argv[3], lstrcmpW(argv[4], L"new") == 0);
    else if (argc == 4 && lstrcmpW(argv[1], L"stop") == 0)
        code = StopCopies(argv[3]);
    else if (argc == 4 && lstrcmpW(argv[1], L"clockright") == 0)
        code = CheckClockRight(argv[3]);
    if (LogFile != INVALID_HANDLE_VALUE)
        CloseHandle(LogFile);
    return code;
}
