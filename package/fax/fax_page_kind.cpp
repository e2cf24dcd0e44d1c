// Which canvas a page needs. A page drawn in pure black and white only
// (most text pages) goes straight into a 1-bit bitmap: there is no tone to
// dither, and a page is an eighth of the memory to clear and to read. Any
// record that can put another colour on the page (a bitmap, a gradient, a
// tinted pen, brush or text, a palette colour, a record not known here)
// sends the page to the grey bitmap, where its tones are dithered.
#include "fax_parts.h"

namespace {

// Only the two colours both bitmaps hold exactly: GDI maps any other colour
// on a 1-bit bitmap by its own rule (not ours: a light grey turns black),
// and a flag in the high byte names a palette entry.
bool Pure(COLORREF colour) { return colour == 0x000000 || colour == 0xFFFFFF; }

// The DWORD at offset at of a record, or nothing if the record is shorter.
bool Field(const ENHMETARECORD* r, DWORD at, DWORD* value) {
  if (r->nSize < at + 4) return false;
  CopyMemory(value, reinterpret_cast<const BYTE*>(r) + at, 4);
  return true;
}

bool PureField(const ENHMETARECORD* r, DWORD at) {
  DWORD colour;
  return Field(r, at, &colour) && Pure(colour);
}

// A brush of one colour (or none), hatched or solid: style at, colour at + 4.
bool PureBrush(const ENHMETARECORD* r, DWORD at) {
  DWORD style;
  if (!Field(r, at, &style)) return false;
  return style == BS_NULL || ((style == BS_SOLID || style == BS_HATCHED) && PureField(r, at + 4));
}

// A block transfer without a source bitmap fills with the brush; one with a
// source may carry any colour. cbBmiSrc lies at 88 in both records.
bool BrushOnlyBlt(const ENHMETARECORD* r) {
  DWORD sourceInfo;
  return Field(r, 88, &sourceInfo) && sourceInfo == 0;
}

enum { kStockLightGrey = LTGRAY_BRUSH, kStockGrey = GRAY_BRUSH, kStockDarkGrey = DKGRAY_BRUSH };

bool PureRecord(const ENHMETARECORD* r) {
  DWORD value;
  switch (r->iType) {
    case EMR_SETTEXTCOLOR:
    case EMR_SETBKCOLOR:
      return PureField(r, 8);
    case EMR_SETPIXELV:
      return PureField(r, 16);  // after the point
    case EMR_CREATEPEN:
      return PureField(r, 24);  // ihPen, style, width, colour
    case EMR_EXTCREATEPEN:
      // ihPen, the pattern's bitmap (none), then style, width, brush.
      return Field(r, 16, &value) && value == 0 && PureBrush(r, 36);
    case EMR_CREATEBRUSHINDIRECT:
      return PureBrush(r, 12);
    case EMR_SELECTOBJECT:
      // The grey stock brushes; the other stock objects are black or white.
      return Field(r, 8, &value) &&
             !(value & 0x80000000 && (value & 0x7FFFFFFF) >= kStockLightGrey &&
               (value & 0x7FFFFFFF) <= kStockDarkGrey);
    case EMR_BITBLT:
    case EMR_STRETCHBLT:
      return BrushOnlyBlt(r);
    case EMR_EXTCREATEFONTINDIRECTW:
      // Only a font record the player turns unsmoothed (fax_page_draw.cpp).
      return r->nSize > kFontQualityAt && r->nSize <= kLargestFontRecord;
    case EMR_GDICOMMENT:
      // A public comment may hold another picture of the page.
      return !(Field(r, 12, &value) && value == GDICOMMENT_IDENTIFIER && Field(r, 16, &value) &&
               value == GDICOMMENT_MULTIFORMATS);
    // Records that draw with the pen, brush and text colours above, or only
    // set state: they bring no colour of their own.
    case EMR_HEADER:
    case EMR_EOF:
    case EMR_POLYBEZIER:
    case EMR_POLYGON:
    case EMR_POLYLINE:
    case EMR_POLYBEZIERTO:
    case EMR_POLYLINETO:
    case EMR_POLYPOLYLINE:
    case EMR_POLYPOLYGON:
    case EMR_SETWINDOWEXTEX:
    case EMR_SETWINDOWORGEX:
    case EMR_SETVIEWPORTEXTEX:
    case EMR_SETVIEWPORTORGEX:
    case EMR_SETBRUSHORGEX:
    case EMR_SETMAPPERFLAGS:
    case EMR_SETMAPMODE:
    case EMR_SETBKMODE:
    case EMR_SETPOLYFILLMODE:
    case EMR_SETROP2:  // on pixels of all ones or all zeros, both bitmaps agree
    case EMR_SETSTRETCHBLTMODE:
    case EMR_SETTEXTALIGN:
    case EMR_OFFSETCLIPRGN:
    case EMR_MOVETOEX:
    case EMR_SETMETARGN:
    case EMR_EXCLUDECLIPRECT:
    case EMR_INTERSECTCLIPRECT:
    case EMR_SCALEVIEWPORTEXTEX:
    case EMR_SCALEWINDOWEXTEX:
    case EMR_SAVEDC:
    case EMR_RESTOREDC:
    case EMR_SETWORLDTRANSFORM:
    case EMR_MODIFYWORLDTRANSFORM:
    case EMR_DELETEOBJECT:
    case EMR_ANGLEARC:
    case EMR_ELLIPSE:
    case EMR_RECTANGLE:
    case EMR_ROUNDRECT:
    case EMR_ARC:
    case EMR_CHORD:
    case EMR_PIE:
    case EMR_LINETO:
    case EMR_ARCTO:
    case EMR_POLYDRAW:
    case EMR_SETARCDIRECTION:
    case EMR_SETMITERLIMIT:
    case EMR_BEGINPATH:
    case EMR_ENDPATH:
    case EMR_CLOSEFIGURE:
    case EMR_FILLPATH:
    case EMR_STROKEANDFILLPATH:
    case EMR_STROKEPATH:
    case EMR_FLATTENPATH:
    case EMR_WIDENPATH:
    case EMR_SELECTCLIPPATH:
    case EMR_ABORTPATH:
    case EMR_FILLRGN:
    case EMR_FRAMERGN:
    case EMR_INVERTRGN:
    case EMR_PAINTRGN:
    case EMR_EXTSELECTCLIPRGN:
    case EMR_EXTTEXTOUTA:
    case EMR_EXTTEXTOUTW:
    case EMR_POLYBEZIER16:
    case EMR_POLYGON16:
    case EMR_POLYLINE16:
    case EMR_POLYBEZIERTO16:
    case EMR_POLYLINETO16:
    case EMR_POLYPOLYLINE16:
    case EMR_POLYPOLYGON16:
    case EMR_POLYDRAW16:
    case EMR_POLYTEXTOUTA:
    case EMR_POLYTEXTOUTW:
    case EMR_SETLAYOUT:
    case EMR_SETCOLORADJUSTMENT:  // halftoning of bitmaps, which are not here
    // Palettes name colours only through palette-index colours, refused above.
    case EMR_SELECTPALETTE:
    case EMR_CREATEPALETTE:
    case EMR_SETPALETTEENTRIES:
    case EMR_RESIZEPALETTE:
    case EMR_REALIZEPALETTE:
    // Text records the headers list as reserved: small text out, forced font
    // mapping, linked fonts, text justification.
    case 108:
    case 109:
    case 119:
    case 120:
      return true;
  }
  // Not played at all (and so no colour).
  return IsColourManagement(r->iType);
}

int CALLBACK Classify(HDC, HANDLETABLE*, const ENHMETARECORD* record, int, LPARAM pure) {
  if (PureRecord(record)) return 1;
  *reinterpret_cast<bool*>(pure) = false;
  return 0;  // one such record decides
}

}  // namespace

bool PageIsPure(HENHMETAFILE emf) {
  bool pure = true;
  // Without a device context the records are only listed, not played.
  EnumEnhMetaFile(nullptr, emf, Classify, &pure, nullptr);
  return pure;
}
