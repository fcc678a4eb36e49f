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
 * Built -m32 -ffreestanding -nostdlib -shared: no C library headers or
 * start-up code are needed. errno is reached through the process's own C
 * library (__errno_location), resolved when the library is loaded.
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
