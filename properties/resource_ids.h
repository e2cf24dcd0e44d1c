// Resource and control ids of the properties program; shared by the
// templates, the pages and the tests that drive them.
#pragma once

#define IDD_ABOUT 108
#define IDD_GENERAL 116
#define IDB_PORTRAIT 117
#define IDB_LANDSCAPE 118
#define IDI_PRINTER 121
#define IDD_PAPER 124
#define IDD_NEWFORM 125
#define IDD_EMF 127

// General page
#define IDC_PREVIEW 1006
#define IDC_QUALITY 1035
#define IDC_ORIENTATION_GROUP 1100
#define IDC_PORTRAIT 1102
#define IDC_LANDSCAPE 1104
#define IDC_QUALITY_GROUP 1106
#define IDC_QUALITY_LABEL 1108
#define IDC_DRIVER_DIALOG 1110

// Paper Size page and New Paper Form dialog
#define IDC_PAPER_LIST 1039
#define IDC_WIDTH 1041
#define IDC_LENGTH 1042
#define IDC_FORM_NAME 1044
#define IDC_WIDTH_RANGE 1046
#define IDC_LENGTH_RANGE 1047
#define IDC_WIDTH_UNIT 1087
#define IDC_LENGTH_UNIT 1088
#define IDC_FORM_LABEL 1120
#define IDC_WIDTH_LABEL 1122
#define IDC_LENGTH_LABEL 1124
#define IDC_ADD 1126
#define IDC_DELETE 1128
#define IDC_UNITS_LABEL 1130
#define IDC_METRIC 1132
#define IDC_ENGLISH 1134
#define IDC_SIZE_LABEL 1136
#define IDC_NAME_LABEL 1400
#define IDC_NEW_WIDTH_LABEL 1402
#define IDC_NEW_LENGTH_LABEL 1404

// About page
#define IDC_BANNER 1007
#define IDC_WEB 1021
#define IDC_VERSION_TEXT 1083

// EMF page
#define IDC_SAVE_EMF 1240
