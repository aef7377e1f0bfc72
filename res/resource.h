// Resource ids shared by the .rc file and the code.
#pragma once

#define IDD_UPDATE_DIALOG 102
#define IDI_APP_ICON 152
#define IDC_PROGRESS 1003
#define IDC_UPDATE_BUTTON 1007
#define IDC_INSTRUCTIONS 1008
#define IDC_SUCCESS_LABEL (-1)

// String table: LocalizedString k is at IDS_ZH_BASE + k (Chinese) and IDS_EN_BASE + k (English).
#define IDS_ZH_BASE 129
#define IDS_EN_BASE 238
#define KESTRO_TEXT_COUNT 17
