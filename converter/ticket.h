// Reading the job ticket's page list.
#pragma once
#include <windows.h>

// Reads [EMF] Count as the converter understands it: a decimal number with an
// optional sign, trailing text ignored; negative, missing, not a number or
// beyond 32 bits reads 0.
DWORD ReadPageCount(const wchar_t* ticket);

// How ForEachPageFile came by the page list.
enum PageListRead {
  kPagesReadInOnePass,   // the whole section at once: cost follows the ticket's size
  kPagesReadByKeyNames,  // the section's key names, then each page key on its own
  kPagesReadByIndex,     // "File%d" for every index below count, key by key
  kPagesNotRead,         // none of these could be done: nothing was called
};

// Calls begin(context) once, then page(path, context) for the page file of
// every index below count, in ascending order, with the value a read of key
// "File%d" would give (first matching key, case ignored, trimmed, surrounding
// quotes removed, at most 259 characters). The section is read once when
// memory allows; otherwise the keys present are read one by one. begin may be
// null; it is not called when the result is kPagesNotRead.
PageListRead ForEachPageFile(const wchar_t* ticket, DWORD count, void (*begin)(void*),
                             void (*page)(const wchar_t*, void*), void* context);
