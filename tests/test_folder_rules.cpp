// Native tests of setup's verdicts on folder permissions: the access lists
// Windows shows for its own folders, and the ones a user could arrange, judged
// as a folder above Varnel's and as Varnel's own.
#include <gtest/gtest.h>

#include <vector>

#include "packaging/setup_helper/folder_rules.h"

namespace {

constexpr const char* SY = SID_SYSTEM;
constexpr const char* BA = SID_ADMINISTRATORS;
constexpr const char* TI = SID_TRUSTED_INSTALLER;
constexpr const char* BU = "S-1-5-32-545";
constexpr const char* AU = "S-1-5-11";
constexpr const char* WD = "S-1-1-0";
constexpr const char* AC = "S-1-15-2-1";  // all application packages
constexpr const char* CO = "S-1-3-0";     // creator owner
constexpr const char* OW = "S-1-3-4";     // owner rights
constexpr const char* SETUP = "S-1-5-21-7-8-9-500";  // the administrator running setup
constexpr const char* ANNE = "S-1-5-21-7-8-9-1001";  // a standard user

constexpr uint32_t GA = ACCESS_GENERIC_ALL, GR = ACCESS_GENERIC_READ, GW = ACCESS_GENERIC_WRITE,
                   GX = ACCESS_GENERIC_EXECUTE, FA = FILE_ALL, RX = FILE_READ_AND_EXECUTE, M = FILE_MODIFY;

AccessEntry On(uint32_t mask, const char* sid) { return {true, false, mask, sid}; }
AccessEntry ForChildren(uint32_t mask, const char* sid) { return {true, true, mask, sid}; }
AccessEntry Denied(uint32_t mask, const char* sid) { return {false, false, mask, sid}; }

struct Case {
    const char* what;
    const char* owner;
    std::vector<AccessEntry> entries;
    FolderFinding asParent;
    FolderFinding asInstallFolder;
    bool noList = false;
    const char* setupAccount = SETUP;
};

TEST(FolderRules, ParentAndInstallFolderVerdicts)
{
    const FolderFinding safe = {FOLDER_SAFE, nullptr};
    const Case cases[] = {
        {"Program Files", TI,
         {On(FA, TI), ForChildren(GA, TI), On(M, SY), ForChildren(GA, SY), On(M, BA), ForChildren(GA, BA),
          On(RX, BU), ForChildren(GX | GR, BU), ForChildren(GA, CO), On(RX, AC), ForChildren(GX | GR, AC)},
         safe, safe},
        // Users may add folders to a drive's root, and modify what they add.
        {"a drive's root", TI,
         {On(FA, BA), On(FA, SY), On(RX, BU), ForChildren(M, AU), On(FOLDER_ADD_SUBFOLDER, AU)},
         safe, {FOLDER_OTHER_MAY_DELETE, AU}},
        {"a folder an administrator made under the root", BA,
         {On(FA, BA), On(FA, SY), On(RX, BU), On(M, AU), ForChildren(M, AU)},
         {FOLDER_OTHER_MAY_DELETE, AU}, {FOLDER_OTHER_MAY_DELETE, AU}},
        {"a folder a user made under the root", ANNE,
         {On(FA, BA), On(FA, SY), On(RX, BU), On(M, AU)},
         {FOLDER_OWNED_BY_OTHER, ANNE}, {FOLDER_OWNED_BY_OTHER, ANNE}},
        {"no access list at all", BA, {}, {FOLDER_NO_ACCESS_LIST, nullptr}, {FOLDER_NO_ACCESS_LIST, nullptr}, true},
        {"Everyone may change its permissions", BA, {On(FA, SY), On(ACCESS_WRITE_DAC | RX, WD)},
         {FOLDER_OTHER_MAY_TAKE_OVER, WD}, {FOLDER_OTHER_MAY_TAKE_OVER, WD}},
        {"Users may take ownership", SY, {On(FA, SY), On(ACCESS_WRITE_OWNER, BU)},
         {FOLDER_OTHER_MAY_TAKE_OVER, BU}, {FOLDER_OTHER_MAY_TAKE_OVER, BU}},
        {"generic all for Users", BA, {On(GA, BU)}, {FOLDER_OTHER_MAY_TAKE_OVER, BU}, {FOLDER_OTHER_MAY_TAKE_OVER, BU}},
        {"Users may delete what it holds", BA, {On(RX | FOLDER_DELETE_CHILD, BU)},
         {FOLDER_OTHER_MAY_DELETE, BU}, {FOLDER_OTHER_MAY_DELETE, BU}},
        {"a user may delete it", BA, {On(FA, BA), On(ACCESS_DELETE, ANNE)},
         {FOLDER_OTHER_MAY_DELETE, ANNE}, {FOLDER_OTHER_MAY_DELETE, ANNE}},
        // Adding files does not let anyone replace a folder below.
        {"Users may add files and folders", BA, {On(FA, BA), On(RX | FOLDER_ADD_FILE | FOLDER_ADD_SUBFOLDER, BU)},
         safe, {FOLDER_OTHER_MAY_WRITE, BU}},
        {"generic write for Users", BA, {On(FA, BA), On(GW, BU)}, safe, {FOLDER_OTHER_MAY_WRITE, BU}},
        {"Users may write what it will hold", BA, {On(FA, BA), On(RX, BU), ForChildren(M, BU)},
         safe, {FOLDER_OTHER_MAY_DELETE, BU}},
        {"Varnel's own folder", BA, {On(FA, SY), On(FA, BA), On(RX, BU)}, safe, safe},
        {"owned and changed by the administrator running setup", SETUP, {On(FA, SETUP), On(FA, SY), On(RX, WD)},
         safe, safe},
        {"the same, judged when setup runs as no administrator", SETUP, {On(FA, SETUP)},
         {FOLDER_OWNED_BY_OTHER, SETUP}, {FOLDER_OWNED_BY_OTHER, SETUP}, false, ""},
        {"another administrator's account is not known as one", BA, {On(FA, "S-1-5-21-7-8-9-501")},
         {FOLDER_OTHER_MAY_TAKE_OVER, "S-1-5-21-7-8-9-501"}, {FOLDER_OTHER_MAY_TAKE_OVER, "S-1-5-21-7-8-9-501"}},
        // Deny entries are not counted on, either way.
        {"full control denied to Everyone", BA, {Denied(FA, WD), On(FA, BA)}, safe, safe},
        {"delete denied to Users, then modify allowed", BA, {Denied(ACCESS_DELETE, BU), On(M, BU)},
         {FOLDER_OTHER_MAY_DELETE, BU}, {FOLDER_OTHER_MAY_DELETE, BU}},
        {"creator owner and owner rights stand for an administrator owner", BA,
         {On(FA, CO), ForChildren(GA, CO), On(FA, OW)}, safe, safe},
    };
    for (const Case& c : cases) {
        const FolderSecurity folder = {c.owner, !c.noList, c.entries.data(), uint32_t(c.entries.size())};
        const FolderFinding findings[2] = {JudgeParentFolder(folder, c.setupAccount),
                                           JudgeInstallFolder(folder, c.setupAccount)};
        const FolderFinding expected[2] = {c.asParent, c.asInstallFolder};
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(findings[i].Verdict, expected[i].Verdict) << c.what << (i ? " (Varnel's)" : " (above)");
            EXPECT_STREQ(findings[i].Who, expected[i].Who) << c.what << (i ? " (Varnel's)" : " (above)");
        }
    }
}

}  // namespace
