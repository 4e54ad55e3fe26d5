// Setup's verdicts on who may change a folder, from its owner and access list.
#include "packaging/setup_helper/folder_rules.h"

#include <cstring>

namespace {

// Generic bits as the file system maps them.
uint32_t FileAccess(uint32_t mask)
{
    constexpr uint32_t READ = 0x00120089, WRITE = 0x00120116, EXECUTE = 0x001200A0;
    if (mask & ACCESS_GENERIC_ALL)
        mask |= FILE_ALL;
    if (mask & ACCESS_GENERIC_READ)
        mask |= READ;
    if (mask & ACCESS_GENERIC_WRITE)
        mask |= WRITE;
    if (mask & ACCESS_GENERIC_EXECUTE)
        mask |= EXECUTE;
    return mask & ~(ACCESS_GENERIC_ALL | ACCESS_GENERIC_READ | ACCESS_GENERIC_WRITE |
                    ACCESS_GENERIC_EXECUTE);
}

// CREATOR OWNER, CREATOR GROUP and OWNER RIGHTS (S-1-3-x) stand for whoever
// creates or owns an object: in a folder whose owner is an administrator and
// in which only administrators may create anything, that is an administrator.
bool StandsForOwner(const char* sid)
{
    return std::strncmp(sid, "S-1-3-", 6) == 0;
}

FolderFinding Judge(const FolderSecurity& folder, const char* setupAccount, bool isInstallFolder)
{
    if (!folder.HasAccessList)
        return {FOLDER_NO_ACCESS_LIST, nullptr};
    if (!IsAdministrator(folder.Owner, setupAccount))
        return {FOLDER_OWNED_BY_OTHER, folder.Owner};
    for (uint32_t i = 0; i < folder.EntryCount; ++i) {
        const AccessEntry& entry = folder.Entries[i];
        // Deny entries are left out: they can only take rights away, and whom
        // they reach depends on group memberships not judged here.
        if (!entry.Allow || IsAdministrator(entry.Sid, setupAccount) || StandsForOwner(entry.Sid))
            continue;
        // A parent's entries for its children do not reach Varnel's folder,
        // which setup makes with its own list.
        if (entry.InheritOnly && !isInstallFolder)
            continue;
        const uint32_t access = FileAccess(entry.Mask);
        if (access & (ACCESS_WRITE_DAC | ACCESS_WRITE_OWNER))
            return {FOLDER_OTHER_MAY_TAKE_OVER, entry.Sid};
        if (access & (ACCESS_DELETE | FOLDER_DELETE_CHILD))
            return {FOLDER_OTHER_MAY_DELETE, entry.Sid};
        if (isInstallFolder && (access & ~FILE_READ_AND_EXECUTE))
            return {FOLDER_OTHER_MAY_WRITE, entry.Sid};
    }
    return {FOLDER_SAFE, nullptr};
}

}  // namespace

bool IsAdministrator(const char* sid, const char* setupAccount)
{
    if (sid == nullptr)
        return false;
    return std::strcmp(sid, SID_SYSTEM) == 0 || std::strcmp(sid, SID_ADMINISTRATORS) == 0 ||
           std::strcmp(sid, SID_TRUSTED_INSTALLER) == 0 ||
           (setupAccount != nullptr && setupAccount[0] != '\0' && std::strcmp(sid, setupAccount) == 0);
}

FolderFinding JudgeParentFolder(const FolderSecurity& folder, const char* setupAccount)
{
    return Judge(folder, setupAccount, false);
}

FolderFinding JudgeInstallFolder(const FolderSecurity& folder, const char* setupAccount)
{
    return Judge(folder, setupAccount, true);
}
