// The job road from a kept print job to the converter:
//   spool_reader.cpp  an EMF spool file (or a job's spool data read through the
//                     spooler) becomes page0.emf, page1.emf, ..., the fonts
//                     it embeds (spool_fonts.cpp), fax.tif and job.ini;
//                     the fax document itself is drawn by ../fax;
//   collector.cpp     the user's finished, kept jobs of the printer are
//                     collected, handed to the converter and then deleted
//                     (its queue view and retry table beside it).
// Both run inside orvlui2.exe.
#pragma once

#include <windows.h>

// Results of ExtractSpool, and the exit codes of "orvlui2.exe /extract".
enum ExtractResult : int {
  kExtractOk = 0,
  kExtractFailed = 1,       // anything else (memory, an unexpected system failure)
  kExtractUsage = 2,        // the command line is not "/extract SPOOLFILE FOLDER"
  kExtractCannotRead = 3,   // the spool file cannot be opened or read
  kExtractNotEmfSpool = 4,  // the data is not an EMF spool file
  kExtractDamaged = 5,      // an EMF spool file whose records do not hold together
  kExtractCannotWrite = 6,  // the folder cannot be created, or a page or the ticket written
  kExtractStopped = 7,      // stopped on request (the collector's stop event)
  kExtractCannotDraw = 9,   // GDI refused (or faulted on) a page while drawing the fax document
  kExtractTooLarge = 10,    // more than 65,535 fax pages, or past the 4 GB a TIFF addresses
};

// A sequential source of spool bytes: a file, or a job handle read with ReadPrinter.
struct SpoolSource {
  void* context;
  // Reads up to size bytes into buffer and sets *got; *got == 0 means the end.
  // FALSE means a read error.
  BOOL (*read)(void* context, void* buffer, DWORD size, DWORD* got);
};

// Writes the pages, the embedded fonts, "fax.tif" and last "job.ini" into
// folder (created when missing). On any result but kExtractOk no ticket is
// left and the pages, fonts and fax document written are removed.
// stop (may be null) is checked between records; once it is signalled the
// extraction ends with kExtractStopped.
int ExtractSpool(const SpoolSource& source, const wchar_t* folder, HANDLE stop);

// The child processes that draw the fax document and merge font packages
// (drawing_child.cpp): "orvlui2.exe /fax FOLDER PAGES Fine|Standard FONTS
// FAXPAGES" draws FOLDER\page*.emf into FOLDER\fax.tif (FAXPAGES fax pages,
// as PlanFaxDocument counted them) with the job's TrueType fonts
// FOLDER\font<n>.ttf; "orvlui2.exe /merge FOLDER MODE" merges FOLDER\merge.pkg
// (into FOLDER\merge.font, for a delta) as FOLDER\merge.ttf. Both exit with
// an ExtractResult marked as their own; ChildResult reads it back
// (kExtractCannotDraw for a child that did not end by itself).
int FaxCommand(int argc, wchar_t** argv);
int MergeCommand(int argc, wchar_t** argv);
int ChildResult(DWORD exitCode);
// A child that ends by itself says so in its exit code's upper bits, above
// its ExtractResult: a process that died any other way (Wine gives 0 for a
// stack overflow) cannot pass for a finished one.
const DWORD kChildDone = 0x4F524C00;
// The fax document's results as ExtractResults.
int FaxToExtract(int faxResult);

// Draws folder\page0.emf ... into folder\fax.tif (faxPages fax pages, as
// PlanFaxDocument counted them) in a child process, within the time a job
// of its size may take, and returns an ExtractResult: kExtractCannotDraw
// for a child that faulted, hung, ran out of memory or was ended past its
// time. A job without embedded fonts goes to the drawing child kept for
// the session when there is one (KeepDrawingChild); otherwise, and for a
// job whose fonts (font<n>.ttf) must be loaded, a child of its own.
int DrawFaxInChild(const wchar_t* folder, DWORD pages, bool fine, DWORD fonts, DWORD faxPages,
                   HANDLE stop);
// The collector keeps one drawing child for its session (true), started
// with its first job; false ends it and waits until it has ended.
void KeepDrawingChild(bool keep);
// "orvlui2.exe /draw SECTION ORDER DONE COLLECTOR": the kept child, given
// the handles it inherits; draws each job ordered until the collector goes.
int DrawCommand(int argc, wchar_t** argv);

// Runs "PROGRAM ARGUMENTS" in folder as a child in a job object (memory
// bound, ended with its caller) and waits up to timeoutMs, or until stop.
// kExtractOk with *exitCode once it ended by itself; kExtractCannotDraw when
// it was ended past its time; kExtractStopped; kExtractFailed when it could
// not start. PROGRAM is this program.
int RunChild(const wchar_t* arguments, const wchar_t* folder, DWORD timeoutMs, HANDLE stop,
             DWORD* exitCode);

// The time the children get: baseMs and pageMs a fax page for drawing,
// mergeMs for a font package.
struct DrawingLimits {
  DWORD baseMs, pageMs, mergeMs;
};
const DrawingLimits& CurrentDrawingLimits();
// Another program (a test's stand-in that injects faults into the real
// child code) and other limits; null for this program and the defaults.
void SetDrawingChild(const wchar_t* program, const DrawingLimits* limits);

// "orvlui2.exe /extract SPOOLFILE FOLDER": argv as CommandLineToArgvW gives it,
// argv[1] being "/extract". Shows no box; returns the exit code.
int ExtractCommand(int argc, wchar_t** argv);

// The collector: runs until stop is signalled, then returns the exit code.
// stop is a manual-reset event that stays signalled (the caller latches the
// pulsed kill event into it).
int RunCollector(HANDLE stop);
