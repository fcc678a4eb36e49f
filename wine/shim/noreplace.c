/*
 * LD_PRELOAD library for 32-bit Wine running under qemu-i386 user emulation.
 *
 * qemu 7.2 accepts MAP_FIXED_NOREPLACE but treats the address as a mere hint,
 * so Wine, which relies on the flag to claim fixed regions (the shared user
 * data page among them), gets memory somewhere else and gives up. This
 * library wraps mmap/mmap64: a request with MAP_FIXED_NOREPLACE is passed on
 * without the flag; when the mapping did not land at the requested address it
 * is undone and the call fails with EEXIST, which is what the kernel does when
 * the range is taken.
 *
 * qemu 7.2 also gives every signal it delivers the trap number -1 (its
 * exception number is reset before the signal frame is written), and Wine's
 * fault handler takes the kind of fault from that number: a page fault it
 * would resolve itself (a guard page, a write watch, the stack growing)
 * becomes an illegal instruction, which ends a service process (and leaves
 * services.exe waiting for it) or, caught and retried, loops forever. This
 * library wraps sigaction: the handlers Wine installs for the fault signals
 * are called through one that first puts in the trap number the kernel would
 * have given (14, page fault, for SIGSEGV and SIGBUS from an address; 13,
 * general protection, for SIGSEGV from the processor itself, e.g. a
 * privileged instruction; 6 for SIGILL; 1 for a debug exception and 3 for
 * int3 on SIGTRAP; 0 for an integer division by zero). qemu's error code, which Wine reads beside
 * it, is right.
 *
 * Built -m32 -ffreestanding -nostdlib -shared: no C library headers or
 * start-up code are needed. errno, and the C library's own sigaction, are
 * reached through the process's own C library (__errno_location, dlsym),
 * resolved when the library is loaded.
 */

typedef unsigned int u32;
typedef long long s64;

#define SYS_munmap 91
#define SYS_mmap2 192
#define MAP_FIXED_NOREPLACE 0x100000
#define EEXIST 17
#define EINVAL 22
#define PAGE_SHIFT 12
#define MAP_FAILED ((void*)-1)

extern int* __errno_location(void);

/* mmap2 with its six arguments taken from memory: every general register but
   esp carries an argument, so ebx and ebp are saved by hand and the array is
   reached through eax before it is loaded with the call number. */
static long raw_mmap2(long a, long b, long c, long d, long e, long f) {
    long args[6] = {a, b, c, d, e, f};
    long result;
    __asm__ volatile(
        "push %%ebp\n\t"
        "push %%ebx\n\t"
        "mov 0(%%eax), %%ebx\n\t"
        "mov 4(%%eax), %%ecx\n\t"
        "mov 8(%%eax), %%edx\n\t"
        "mov 12(%%eax), %%esi\n\t"
        "mov 16(%%eax), %%edi\n\t"
        "mov 20(%%eax), %%ebp\n\t"
        "mov %2, %%eax\n\t"
        "int $0x80\n\t"
        "pop %%ebx\n\t"
        "pop %%ebp"
        : "=a"(result)
        : "0"(args), "i"(SYS_mmap2)
        : "ecx", "edx", "esi", "edi", "memory");
    return result;
}

static void raw_munmap(long address, long length) {
    long result;
    __asm__ volatile(
        "push %%ebx\n\t"
        "mov %2, %%ebx\n\t"
        "int $0x80\n\t"
        "pop %%ebx"
        : "=a"(result)
        : "0"(SYS_munmap), "r"(address), "c"(length)
        : "memory");
    (void)result;
}

static void* fail(int code) {
    *__errno_location() = code;
    return MAP_FAILED;
}

static void* map_pages(void* address, u32 length, int prot, int flags, int fd, s64 offset) {
    if (offset & ((1 << PAGE_SHIFT) - 1)) return fail(EINVAL);
    long pages = (long)(offset >> PAGE_SHIFT);
    if (!(flags & MAP_FIXED_NOREPLACE)) {
        long r = raw_mmap2((long)address, (long)length, prot, flags, fd, pages);
        if ((unsigned long)r > -4096UL) return fail((int)-r);
        return (void*)r;
    }
    long r = raw_mmap2((long)address, (long)length, prot, flags & ~MAP_FIXED_NOREPLACE, fd, pages);
    if ((unsigned long)r > -4096UL) return fail((int)-r);
    if ((void*)r != address) {
        raw_munmap(r, (long)length);
        return fail(EEXIST);
    }
    return (void*)r;
}

void* mmap(void* address, u32 length, int prot, int flags, int fd, long offset) {
    return map_pages(address, length, prot, flags, fd, (s64)offset);
}

void* mmap64(void* address, u32 length, int prot, int flags, int fd, s64 offset) {
    return map_pages(address, length, prot, flags, fd, offset);
}

/* -- trap numbers ----------------------------------------------------------- */

#define SIGILL 4
#define SIGTRAP 5
#define SIGBUS 7
#define SIGFPE 8
#define SIGSEGV 11
#define SA_SIGINFO 4
#define SI_KERNEL 0x80
#define TRAP_TRACE 2
#define TRAP_HWBKPT 4
#define FPE_INTDIV 1
/* The i386 signal frame's ucontext: flags, link, a 12-byte stack_t, then the
   general registers, among them the trap number and the error code. */
#define GREGS_OFFSET 20
#define REG_TRAPNO 12
#define NO_TRAP 0xffffffffu

typedef void (*handler_t)(int, void*, void*);

/* The C library's struct sigaction on i386. */
struct action {
    handler_t handler;
    u32 mask[32];
    int flags;
    void (*restorer)(void);
};

extern void* dlsym(void* handle, const char* name);
#define RTLD_NEXT ((void*)-1)

static handler_t wine_handlers[32];
static int (*next_sigaction)(int, const struct action*, struct action*);

static int fills_trap(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGTRAP || sig == SIGFPE;
}

static u32 trap_number(int sig, int code) {
    switch (sig) {
        case SIGSEGV:
            return code == SI_KERNEL ? 13 : 14;
        case SIGBUS:
            return 14;
        case SIGILL:
            return 6;
        case SIGTRAP: /* a debug exception, else int3 (SI_KERNEL, as Linux sends it) */
            return code == TRAP_TRACE || code == TRAP_HWBKPT ? 1 : 3;
        default: /* SIGFPE: Wine reads the FPU state for any other */
            return code == FPE_INTDIV ? 0 : NO_TRAP;
    }
}

static void with_trap_number(int sig, void* info, void* context) {
    u32* trapno = (u32*)((char*)context + GREGS_OFFSET) + REG_TRAPNO;
    if (*trapno == NO_TRAP) *trapno = trap_number(sig, ((int*)info)[2]);
    wine_handlers[sig](sig, info, context);
}

int sigaction(int sig, const struct action* act, struct action* old) {
    if (!next_sigaction)
        next_sigaction =
            (int (*)(int, const struct action*, struct action*))dlsym(RTLD_NEXT, "sigaction");
    if (!fills_trap(sig)) return next_sigaction(sig, act, old);
    handler_t previous = wine_handlers[sig];
    int wrap = act && (act->flags & SA_SIGINFO) && (unsigned long)act->handler > 1;
    struct action mine;
    if (wrap) {
        mine = *act;
        mine.handler = with_trap_number;
        wine_handlers[sig] = act->handler; /* before a signal can reach it */
    }
    int result = next_sigaction(sig, wrap ? &mine : act, old);
    if (result != 0) {
        wine_handlers[sig] = previous;
        return result;
    }
    if (old && old->handler == with_trap_number) old->handler = previous;
    return result;
}
