// Resource names and control ids shared by varnel.rc and the code.
#pragma once

// Resources named by text. The resource compiler takes them as bare words
// (which it stores upper-case, as the loader looks them up): it would join a
// quoted name to the quoted file name on the line before.
#ifdef RC_INVOKED
#define IDI_VARNEL_APP VarnelApp
#define IDI_VARNEL_FAIL VarnelFail
#define IDI_VARNEL_POOR VarnelPoor
#define IDI_VARNEL_GOOD VarnelGood
#define IDD_PROPERTIES PROPERTIES
#else
#define IDI_VARNEL_APP "VarnelApp"
#define IDI_VARNEL_FAIL "VarnelFail"
#define IDI_VARNEL_POOR "VarnelPoor"
#define IDI_VARNEL_GOOD "VarnelGood"
#define IDD_PROPERTIES "PROPERTIES"
#endif

// The Properties dialog's controls.
#define IDC_BST 1056
#define IDC_UTC 1057
#define IDC_PORT_LABEL 1088
#define IDC_BIT_LABEL 1089
#define IDC_INDICATOR 1090
#define IDC_PORT 1136
#define IDC_BIT 1137

// Tray menu commands.
#define IDM_PROPERTIES 1
#define IDM_CLOSE 2

#define VARNEL_VERSION_STRING "1.6.0"
#define VARNEL_VERSION_COMMA 1, 6, 0, 0
