// Reading the job ticket's page list.
#pragma once
#include <windows.h>

// Reads [EMF] Count as the converter understands it: a decimal number with an
// optional sign, trailing text ignored; negative, missing, not a number or
// beyond 32 bits reads 0.
DWORD ReadPageCount(const wchar_t* ticket);

// Calls del(path, context) for the page file of every index below count, in
// ascending order, with the value a read of key "File%d" would give (first
// matching key, case ignored, trimmed, surrounding quotes removed, at most 259
// characters). The section is read once, so the cost follows the ticket's
// size and not the count. Returns false when the section could not be read
// whole (then nothing was called).
bool ForEachPageFile(const wchar_t* ticket, DWORD count, void (*del)(const wchar_t*, void*),
                     void* context);
