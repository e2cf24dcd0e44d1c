// The product's name and the names derived from it.
#pragma once

// The printer, its driver, the registry keys and the named objects all carry it.
#define ORVL_PRODUCT_NAME L"Orvalis"

// Buffer sizes in UTF-16 units, terminator included.
enum : unsigned {
  kPathUnits = 260,        // paths, names, captions, key paths
  kSystemTextUnits = 512,  // the system's text for an error number
  kReportUnits = 1024,     // a report or a log line
};
