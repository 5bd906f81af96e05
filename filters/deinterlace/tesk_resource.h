// Resource identifiers of the deinterlacing filter's property pages (dialogs, controls and
// strings), shared by QfaTesk.rc and the pages.
#pragma once

// Mode page (dialog 401) and the MMX-path mode page (dialog 409); title string 403.
#define IDD_TESK_MODE 401
#define IDD_TESK_MMX_MODE 409
#define IDS_TESK_MODE_TITLE 403
#define IDS_ORDER_BOTTOM 406
#define IDS_ORDER_TOP 407
#define IDS_ORDER_AUTO 408
#define IDC_MODE_WEAVE 1008  // ..1014: modes 0..6
#define IDC_MODE_S5 1014
#define IDC_SINGLE_FIELD 1015
#define IDC_FIELD_ORDER 1017
#define IDC_MOTION_VECTORS 1018
#define IDC_MMX_NONE 1019  // ..1021: modes 7..9
#define IDC_MMX_ADAPTIVE 1021

// Contrast page (dialog 105, title string 106).
#define IDD_TESK_CONTRAST 105
#define IDS_TESK_CONTRAST_TITLE 106
#define IDC_CONTRAST_BAR 1020
#define IDC_CONTRAST_NAME 1021
#define IDC_CONTRAST_MIN 1022
#define IDC_CONTRAST_MAX 1023
#define IDC_CONTRAST_VALUE 1025
#define IDC_CONTRAST_ON 1028

// Field-order page (dialog 513, title string 512).
#define IDD_TESK_FIELD_ORDER 513
#define IDS_TESK_FIELD_ORDER_TITLE 512
#define IDC_TOP_FIRST 1300
#define IDC_BOTTOM_FIRST 1301

// Sharpness page (dialog 307, title string 308).
#define IDD_TESK_SHARPNESS 307
#define IDS_TESK_SHARPNESS_TITLE 308
#define IDC_SHARPNESS_ON 1020
#define IDC_FACTOR_BAR 1021
#define IDC_FACTOR_NAME 1022
#define IDC_FACTOR_MIN 1023
#define IDC_FACTOR_MAX 1024
#define IDC_FACTOR_VALUE 1026
#define IDC_CORING_BAR 1027
#define IDC_CORING_NAME 1028
#define IDC_CORING_MIN 1029
#define IDC_CORING_MAX 1030
#define IDC_CORING_VALUE 1032

// Menu background page (dialog 106, title string 1).
#define IDD_TESK_MENU_BACK 106
#define IDS_TESK_MENU_BACK_TITLE 1
#define IDC_MENU_INDEX 1000
#define IDC_MENU_LEFT 1001
#define IDC_MENU_TOP 1002
#define IDC_MENU_WIDTH 1003
#define IDC_MENU_HEIGHT 1004
#define IDC_MENU_ALPHA1 1005
#define IDC_MENU_ALPHA2 1006
#define IDC_MENU_TIME 1007
#define IDC_MENU_SHOW 1008
#define IDC_MENU_SHOW_ALL 1009
#define IDC_MENU_FADE_TIME 1010
#define IDC_MENU_FADE 1011
#define IDC_MENU_ALPHA 1012
