// EMF spool files to pages and a ticket.
#include "job_road.h"

int ExtractSpool(const SpoolSource&, const wchar_t*, HANDLE) { return kExtractFailed; }

int ExtractCommand(int, wchar_t**) { return kExtractFailed; }
