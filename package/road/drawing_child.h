// What the drawing children's two sides share (drawing_child.cpp, the child
// of a job of its own; kept_child.cpp, the child kept for a session).
#pragma once

#include <windows.h>

// The exit code of a child that faulted (set by its exception filter), and
// of one ended past its time or on a stop.
const UINT kChildFaulted = 0xFA1;

// The program the children run: this one, or a test's stand-in.
bool DrawingProgramPath(wchar_t* path);
// Starts "command" in folder, without a window, out of the caller's job
// where allowed, inside a new job object that bounds its memory, lets it
// start no other process and ends it when *job is closed (*job null where
// none could be made or joined); handles passed only when inherit.
bool StartChild(const wchar_t* program, wchar_t* command, const wchar_t* folder, bool inherit,
                HANDLE* job, HANDLE* process);
// Ends a child where it stands (its job, or the process alone) and waits
// until it has ended, so that its files are closed.
void EndChild(HANDLE job, HANDLE process);
// The child's side: no error box, and a fault ends the process.
void AsChild();
// A finished drawing child's exit code (or kept child's result) as the
// ExtractResult the extraction reports.
int DrawingResult(DWORD exitCode);
// Ends the kept child, if any, and waits until it has ended.
void EndKeptChild();
// Draws through the kept child: an ExtractResult, or kUseOwnChild when
// there is none and none can be started.
const int kUseOwnChild = -1;
int DrawInKeptChild(const wchar_t* folder, DWORD pages, bool fine, DWORD faxPages, DWORD timeoutMs,
                    HANDLE stop);
