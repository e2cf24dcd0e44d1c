// The one version definition: every version block and the About page use it.
// Kept free of C++ so that the resource compiler can include it.
#pragma once

#define ORVL_VERSION_BINARY 1, 0, 0, 0
#define ORVL_VERSION_TEXT "1.00"
#define ORVL_VERSION_WTEXT L"1.00"
#define ORVL_PRODUCT_TEXT "Orvalis"
#define ORVL_COMPANY_TEXT "Orvalis"
#define ORVL_COPYRIGHT_TEXT "Copyright (C) 2026 Orvalis"
