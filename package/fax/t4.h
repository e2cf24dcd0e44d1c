// ITU-T T.4 one-dimensional coding (Modified Huffman) of fax rows, as TIFF
// Compression 3 holds them: every row starts with an EOL whose last bit ends
// a byte (fill bits before it, T4Options bit 2), white runs and black runs in
// turn, the first one white.
#pragma once

#include <windows.h>

// Rows are at most this wide; the fax document's are exactly so wide.
const int kT4MaxWidth = 1728;
// Bytes the coding of one row can take at most (EOL, fill bits and the
// longest codes for a row of single-pixel runs), rounded up.
const int kT4MaxRowBytes = 2 * kT4MaxWidth / 8 * 5 + 8;

// One row of width pixels, packed 8 to a byte, first pixel in the high bit,
// 1 = black. Writes its coding to out (kT4MaxRowBytes) and returns its size
// in bytes. The coding always ends on a byte boundary.
DWORD T4CodeRow(const BYTE* row, int width, BYTE* out);

// The code of one run: its bits in the low `bits` bits of *code (first bit
// highest). Runs of 64 and more give a makeup code; *rest tells what the
// terminating code must still carry. For the coder's tests.
void T4RunCode(int run, bool black, DWORD* code, int* bits, int* rest);
