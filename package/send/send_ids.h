// Resource ids of the recipient dialog (send.rc).
#pragma once

#define IDD_FAX_RECIPIENT 300
#define IDC_FAX_NUMBER 301
#define IDC_FAX_NAME 302
#define IDC_FAX_NOTE 303
#define IDC_FAX_DOCUMENT 304
#define IDC_FAX_PASSWORD_LABEL 305
#define IDC_FAX_PASSWORD 306
#define IDC_FAX_REMEMBER 307
#define IDC_FAX_MESSAGE 308
