/* Preloaded (LD_PRELOAD) into every 32-bit program of the emulated x86 route
 * (tools/x86-emu). QEMU's user-mode emulator hands a signal handler a context
 * whose trap number is -1. Wine decides the Windows exception from that number
 * (page fault, invalid opcode, divide error, breakpoint), so without it every
 * access violation arrives as an illegal instruction and a divide by zero as
 * a float fault. This library wraps the handlers a program installs for the
 * fault signals and fills in the number the kernel would have written, taken
 * from the signal's own information, before the program's handler runs.
 * Built for i386 by tools/x86-emu; a 64-bit build of the same file is empty
 * of effect and only keeps the loader quiet in 64-bit processes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stddef.h>
#include <ucontext.h>

#if defined(__i386__)

/* x86 exception vectors, as the kernel writes them into the context. */
enum { TRAP_DE = 0, TRAP_DB = 1, TRAP_BP = 3, TRAP_OF = 4, TRAP_UD = 6,
       TRAP_GP = 13, TRAP_PF = 14, TRAP_MF = 16, TRAP_AC = 17 };

typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);

static sigaction_fn next_sigaction;
/* The program's own actions for the signals whose handlers are wrapped. */
static struct sigaction program_action[_NSIG];
static volatile int wrapped[_NSIG];

static int is_fault_signal(int sig)
{
    return sig == SIGSEGV || sig == SIGILL || sig == SIGFPE || sig == SIGBUS || sig == SIGTRAP;
}

static int trap_number(int sig, const siginfo_t *info)
{
    switch (sig) {
    case SIGSEGV:
        /* A page fault carries its address; a protection fault comes as SI_KERNEL. */
        return info->si_code == SEGV_MAPERR || info->si_code == SEGV_ACCERR ? TRAP_PF : TRAP_GP;
    case SIGBUS:
        return info->si_code == BUS_ADRALN ? TRAP_AC : TRAP_GP;
    case SIGILL:
        return TRAP_UD;
    case SIGFPE:
        if (info->si_code == FPE_INTDIV) return TRAP_DE;
        if (info->si_code == FPE_INTOVF) return TRAP_OF;
        return TRAP_MF;
    case SIGTRAP:
        /* int3 is reported as SI_KERNEL; single steps and debug registers otherwise. */
        return info->si_code == SI_KERNEL ? TRAP_BP : TRAP_DB;
    }
    return -1;
}

static void fault_handler(int sig, siginfo_t *info, void *context)
{
    ucontext_t *uc = context;
    const struct sigaction *act = &program_action[sig];

    if (uc && (int)uc->uc_mcontext.gregs[REG_TRAPNO] == -1)
        uc->uc_mcontext.gregs[REG_TRAPNO] = trap_number(sig, info);
    if (act->sa_flags & SA_SIGINFO)
        act->sa_sigaction(sig, info, context);
    else if (act->sa_handler != SIG_DFL && act->sa_handler != SIG_IGN)
        act->sa_handler(sig);
}

static sigaction_fn resolve(void)
{
    if (!next_sigaction) next_sigaction = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
    return next_sigaction;
}

int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    sigaction_fn next = resolve();
    struct sigaction mine, previous;
    int rc;

    if (!next) return -1;
    if (sig <= 0 || sig >= _NSIG || !is_fault_signal(sig)) return next(sig, act, old);

    if (!act) {
        rc = next(sig, NULL, old);
        if (rc == 0 && old && wrapped[sig]) *old = program_action[sig];
        return rc;
    }
    if (!(act->sa_flags & SA_SIGINFO) &&
        (act->sa_handler == SIG_DFL || act->sa_handler == SIG_IGN)) {
        rc = next(sig, act, &previous);
        if (rc == 0) {
            if (old) *old = wrapped[sig] ? program_action[sig] : previous;
            wrapped[sig] = 0;
        }
        return rc;
    }
    mine = *act;
    mine.sa_flags |= SA_SIGINFO;
    mine.sa_sigaction = fault_handler;
    /* Block the signal while the table changes, so the wrapper never calls a half-written action. */
    {
        sigset_t block, saved;
        sigemptyset(&block);
        sigaddset(&block, sig);
        sigprocmask(SIG_BLOCK, &block, &saved);
        struct sigaction before = program_action[sig];
        int was_wrapped = wrapped[sig];
        program_action[sig] = *act;
        rc = next(sig, &mine, &previous);
        if (rc == 0) {
            if (old) *old = was_wrapped ? before : previous;
            wrapped[sig] = 1;
        } else {
            program_action[sig] = before;
        }
        sigprocmask(SIG_SETMASK, &saved, NULL);
    }
    return rc;
}

#endif
