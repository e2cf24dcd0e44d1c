// Registry reads as the programs make them: the value's bytes are copied into
// a buffer of fixed size whatever the stored type; a value with more data than
// the buffer holds is not read.
#pragma once
#include <windows.h>

// Reads up to 4 bytes into *value; false (and *value unchanged) on failure.
bool ReadDwordValue(HKEY key, const wchar_t* name, DWORD* value);

// Reads a text of at most bufferBytes bytes (terminator included) into text,
// which must hold bufferBytes / 2 + 1 units so that a value stored without a
// terminator still ends in one. false (and text unchanged) on failure.
bool ReadTextValue(HKEY key, const wchar_t* name, wchar_t* text, DWORD bufferBytes);

// Opens root\path with the given access. Returns the registry's result.
LONG OpenKey(HKEY root, const wchar_t* path, REGSAM access, HKEY* key);
