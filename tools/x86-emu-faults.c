/* The emulated x86 route's own check (tools/x86-emu check): provokes one
 * hardware fault, named by the argument, and prints how the program's
 * unhandled-exception filter sees it:
 *   NAME CODE PARAMETERS FIRST-PARAMETER ADDRESS
 * "badptr" instead prints what IsBadReadPtr and IsBadWritePtr return, which
 * only works when Wine reads the fault right. Windows gives the same lines. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static const char *name;

static LONG WINAPI filter(EXCEPTION_POINTERS *e)
{
    const EXCEPTION_RECORD *r = e->ExceptionRecord;
    /* A guard page's address is wherever the allocation landed. */
    int show_address = strcmp(name, "guard") != 0;
    printf("%s %08lx %lu %lu %08lx\n", name, r->ExceptionCode, r->NumberParameters,
           r->NumberParameters > 0 ? (unsigned long)r->ExceptionInformation[0] : 0,
           show_address && r->NumberParameters > 1 ? (unsigned long)r->ExceptionInformation[1] : 0);
    fflush(stdout);
    ExitProcess(0);
    return EXCEPTION_EXECUTE_HANDLER;
}

int main(int argc, char **argv)
{
    volatile int zero = 0;
    name = argc > 1 ? argv[1] : "";
    SetUnhandledExceptionFilter(filter);
    if (!strcmp(name, "read")) {
        volatile int *p = (volatile int *)0x10;
        printf("%d\n", *p);
    } else if (!strcmp(name, "write")) {
        volatile int *p = (volatile int *)0x20;
        *p = 1;
    } else if (!strcmp(name, "divide")) {
        printf("%d\n", 5 / zero);
    } else if (!strcmp(name, "breakpoint")) {
        DebugBreak();
    } else if (!strcmp(name, "illegal")) {
        __asm__ volatile("ud2");
    } else if (!strcmp(name, "guard")) {
        volatile char *m = VirtualAlloc(NULL, 4096, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD);
        printf("%d\n", m[0]);
    } else if (!strcmp(name, "badptr")) {
        printf("badptr %d %d\n", IsBadReadPtr(NULL, 4), IsBadWritePtr((void *)8, 4));
        return 0;
    }
    printf("%s no fault\n", name);
    return 1;
}
