// The Modified Huffman code tables of ITU-T T.4 (terminating codes for runs
// of 0 to 63, makeup codes for multiples of 64, the extended makeup codes
// shared by both colours) and the row coder built on them.
#include "t4.h"

namespace {

// The codes as T.4 prints them, bit by bit: less room for a slip than hex.
const char* const kWhiteTerm[64] = {
    "00110101", "000111",   "0111",     "1000",     "1011",     "1100",     "1110",     "1111",
    "10011",    "10100",    "00111",    "01000",    "001000",   "000011",   "110100",   "110101",
    "101010",   "101011",   "0100111",  "0001100",  "0001000",  "0010111",  "0000011",  "0000100",
    "0101000",  "0101011",  "0010011",  "0100100",  "0011000",  "00000010", "00000011", "00011010",
    "00011011", "00010010", "00010011", "00010100", "00010101", "00010110", "00010111", "00101000",
    "00101001", "00101010", "00101011", "00101100", "00101101", "00000100", "00000101", "00001010",
    "00001011", "01010010", "01010011", "01010100", "01010101", "00100100", "00100101", "01011000",
    "01011001", "01011010", "01011011", "01001010", "01001011", "00110010", "00110011", "00110100"};
const char* const kBlackTerm[64] = {
    "0000110111",   "010",          "11",           "10",           "011",          "0011",
    "0010",         "00011",        "000101",       "000100",       "0000100",      "0000101",
    "0000111",      "00000100",     "00000111",     "000011000",    "0000010111",   "0000011000",
    "0000001000",   "00001100111",  "00001101000",  "00001101100",  "00000110111",  "00000101000",
    "00000010111",  "00000011000",  "000011001010", "000011001011", "000011001100", "000011001101",
    "000001101000", "000001101001", "000001101010", "000001101011", "000011010010", "000011010011",
    "000011010100", "000011010101", "000011010110", "000011010111", "000001101100", "000001101101",
    "000011011010", "000011011011", "000001010100", "000001010101", "000001010110", "000001010111",
    "000001100100", "000001100101", "000001010010", "000001010011", "000000100100", "000000110111",
    "000000111000", "000000100111", "000000101000", "000001011000", "000001011001", "000000101011",
    "000000101100", "000001011010", "000001100110", "000001100111"};
// Makeup codes for 64, 128, ... 1728.
const char* const kWhiteMakeup[27] = {
    "11011",     "10010",     "010111",    "0110111",   "00110110",  "00110111",  "01100100",
    "01100101",  "01101000",  "01100111",  "011001100", "011001101", "011010010", "011010011",
    "011010100", "011010101", "011010110", "011010111", "011011000", "011011001", "011011010",
    "011011011", "010011000", "010011001", "010011010", "011000",    "010011011"};
const char* const kBlackMakeup[27] = {
    "0000001111",    "000011001000",  "000011001001",  "000001011011",  "000000110011",
    "000000110100",  "000000110101",  "0000001101100", "0000001101101", "0000001001010",
    "0000001001011", "0000001001100", "0000001001101", "0000001110010", "0000001110011",
    "0000001110100", "0000001110101", "0000001110110", "0000001110111", "0000001010010",
    "0000001010011", "0000001010100", "0000001010101", "0000001011010", "0000001011011",
    "0000001100100", "0000001100101"};
// 1792, 1856, ... 2560, for either colour.
const char* const kExtendedMakeup[13] = {
    "00000001000",  "00000001100",  "00000001101",  "000000010010", "000000010011",
    "000000010100", "000000010101", "000000010110", "000000010111", "000000011100",
    "000000011101", "000000011110", "000000011111"};

void Parse(const char* bits, DWORD* code, int* length) {
  *code = 0;
  *length = 0;
  for (; *bits; ++bits, ++*length) *code = (*code << 1) | (*bits == '1');
}

// The tables as numbers, made once: [colour][run 0-63], [colour][makeup 1-27], extended.
struct Code {
  WORD code;
  BYTE bits;
};
Code g_term[2][64], g_makeup[2][27], g_extended[13];
volatile LONG g_ready = 0;

void MakeTables() {
  if (g_ready == 2) return;
  if (InterlockedCompareExchange(&g_ready, 1, 0) == 0) {
    DWORD code;
    int bits;
    for (int colour = 0; colour < 2; ++colour) {
      for (int i = 0; i < 64; ++i) {
        Parse(colour ? kBlackTerm[i] : kWhiteTerm[i], &code, &bits);
        g_term[colour][i] = {static_cast<WORD>(code), static_cast<BYTE>(bits)};
      }
      for (int i = 0; i < 27; ++i) {
        Parse(colour ? kBlackMakeup[i] : kWhiteMakeup[i], &code, &bits);
        g_makeup[colour][i] = {static_cast<WORD>(code), static_cast<BYTE>(bits)};
      }
    }
    for (int i = 0; i < 13; ++i) {
      Parse(kExtendedMakeup[i], &code, &bits);
      g_extended[i] = {static_cast<WORD>(code), static_cast<BYTE>(bits)};
    }
    InterlockedExchange(&g_ready, 2);
  }
  while (g_ready != 2) Sleep(0);
}

struct Bits {
  BYTE* out;
  DWORD bytes;
  ULONGLONG acc;  // pending bits, the oldest highest
  int count;      // how many are pending (< 8 between calls)
};

void Put(Bits& b, DWORD code, int length) {
  b.acc = (b.acc << length) | code;
  b.count += length;
  while (b.count >= 8) {
    b.count -= 8;
    b.out[b.bytes++] = static_cast<BYTE>(b.acc >> b.count);
  }
}

void PutRun(Bits& b, int run, bool black) {
  while (run >= 64) {
    const Code& c = run >= 1792 ? g_extended[(run > 2560 ? 2560 : run / 64 * 64) / 64 - 28]
                                : g_makeup[black][run / 64 - 1];
    Put(b, c.code, c.bits);
    run -= run >= 1792 ? (run > 2560 ? 2560 : run / 64 * 64) : run / 64 * 64;
  }
  Put(b, g_term[black][run].code, g_term[black][run].bits);
}

// The length of the run of pixels of the given colour starting at x: the
// rest of x's byte, then eight bytes at a time, then the last bytes.
int RunLength(const BYTE* row, int x, int width, bool black) {
  const int start = x, bytes = (width + 7) / 8;
  const BYTE flip = black ? 0xFF : 0x00;  // makes the run's colour 0
  const ULONGLONG flip8 = black ? ~0ull : 0;
  int at = x >> 3, end = width;
  BYTE byte = static_cast<BYTE>((row[at] ^ flip) << (x & 7));
  if (byte) {
    end = x + __builtin_clz(byte) - 24;
    return (end > width ? width : end) - start;
  }
  for (++at; at + 8 <= bytes; at += 8) {
    ULONGLONG eight;
    CopyMemory(&eight, row + at, 8);
    if (eight ^ flip8) {
      // The first pixel is the first byte's high bit.
      end = at * 8 + __builtin_clzll(__builtin_bswap64(eight ^ flip8));
      return (end > width ? width : end) - start;
    }
  }
  for (; at < bytes; ++at) {
    byte = static_cast<BYTE>(row[at] ^ flip);
    if (byte) {
      end = at * 8 + __builtin_clz(byte) - 24;
      break;
    }
  }
  return (end > width ? width : end) - start;
}

}  // namespace

void T4RunCode(int run, bool black, DWORD* code, int* bits, int* rest) {
  const char* text;
  if (run < 64) {
    text = black ? kBlackTerm[run] : kWhiteTerm[run];
    *rest = -1;
  } else if (run < 1792) {
    int makeup = run / 64;  // 1 to 27
    text = black ? kBlackMakeup[makeup - 1] : kWhiteMakeup[makeup - 1];
    *rest = run - makeup * 64;
  } else {
    int makeup = run > 2560 ? 2560 : run / 64 * 64;
    text = kExtendedMakeup[(makeup - 1792) / 64];
    *rest = run - makeup;
  }
  Parse(text, code, bits);
}

DWORD T4CodeRow(const BYTE* row, int width, BYTE* out) {
  MakeTables();
  Bits b = {out, 0, 0, 0};
  if (width > kT4MaxWidth) width = kT4MaxWidth;
  // Fill bits so that the 12-bit EOL ends on a byte boundary: 4 bits in.
  Put(b, 0, 4);
  Put(b, 1, 12);
  bool black = false;
  for (int x = 0; x < width; black = !black) {
    int run = RunLength(row, x, width, black);
    PutRun(b, run, black);
    x += run;
  }
  if (b.count) Put(b, 0, 8 - b.count);
  return b.bytes;
}
