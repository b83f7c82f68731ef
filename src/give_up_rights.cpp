// The confinement of the client once it is connected; see give_up_rights.h.

#include <sys/resource.h>
#include <unistd.h>

// Landlock's and seccomp's calls, where the system's headers know them:
// <sys/syscall.h> is asked for only beside Linux's own headers, since other
// systems lack it.
#if __has_include(<linux/landlock.h>) || __has_include(<linux/seccomp.h>)
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#if __has_include(<linux/seccomp.h>)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#endif
// AddressSanitizer's leak check at exit lists /proc/self/task, which a
// client that may open nothing can no longer do (it then blames ptrace, the
// cause being EMFILE): that build checks just before giving anything up.
#if defined(__SANITIZE_ADDRESS__)
#define CLIENT_CHECKS_LEAKS
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CLIENT_CHECKS_LEAKS
#endif
#endif
#ifdef CLIENT_CHECKS_LEAKS
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "give_up_rights.h"

namespace {

// Linux's layers, which the build may leave out to run as elsewhere.
#if defined(SYS_prctl) && !defined(CLIENT_WITHOUT_SYSTEM_EXTRAS)
#ifdef SYS_landlock_create_ruleset
// Returns a Landlock ruleset that handles every right to the file system (no
// file read, written, made or run), then, as newer kernels add them, TCP bind
// and connect, and signals and abstract UNIX sockets beyond the client's own,
// with no rule that grants any; -1 where the kernel offers no Landlock.
long landlock_ruleset() {
    // The kernel's own numbers, which may be newer than the system's header.
    // It refuses a right that its ABI does not know, and takes a longer record
    // when the fields it does not know are zero.
    struct landlock_rules {
        std::uint64_t handled_access_fs;
        std::uint64_t handled_access_net;
        std::uint64_t scoped;
    };
    constexpr long newest_known_abi = 6;
    // Every file right of ABI 1, 2 (refer), 3 (truncate), 4 and 5 (device ioctl), 6.
    constexpr std::uint64_t file_rights[] = {0x1fff, 0x3fff, 0x7fff, 0x7fff, 0xffff, 0xffff};
    constexpr std::uint64_t tcp_bind_and_connect = 0x3;
    constexpr std::uint64_t abstract_sockets_and_signals = 0x3;
    constexpr long ask_for_abi = 1;
    const long abi =
        std::min(syscall(SYS_landlock_create_ruleset, nullptr, std::size_t{0}, ask_for_abi),
                 newest_known_abi);
    if (abi < 1) {
        return -1;
    }
    const landlock_rules rules{file_rights[abi - 1], abi >= 4 ? tcp_bind_and_connect : 0,
                               abi >= 6 ? abstract_sockets_and_signals : 0};
    return syscall(SYS_landlock_create_ruleset, &rules, sizeof rules, 0L);
}

void restrict_to(long ruleset) { (void)syscall(SYS_landlock_restrict_self, ruleset, 0L); }
#else
long landlock_ruleset() { return -1; }
void restrict_to(long /*ruleset*/) {}
#endif

#if defined(SYS_seccomp) && defined(SECCOMP_RET_ERRNO)
// The ABI through which the client makes its calls, as the kernel names it to
// a filter, and the other one that the kernel takes from the same process: a
// 64-bit x86 process may enter through int 0x80, a 32-bit one may jump to
// 64-bit code, and x32's calls come as x86-64's, numbered from 0x40000000
// up. Where the client's ABI is not in this table, it has no filter.
struct call_abis {
    std::uint32_t own = 0;
    std::uint32_t foreign = 0;               // none: no call comes with ABI 0
    std::uint32_t first_foreign_call = ~0U;  // none: -1 is no call at all
};
#if defined(__x86_64__) && defined(__LP64__)
constexpr call_abis abis{AUDIT_ARCH_X86_64, AUDIT_ARCH_I386, 0x40000000};
#elif defined(__i386__)
constexpr call_abis abis{AUDIT_ARCH_I386, AUDIT_ARCH_X86_64};
#elif defined(__aarch64__) && defined(__AARCH64EL__)
constexpr call_abis abis{AUDIT_ARCH_AARCH64};
#elif defined(__arm__) && defined(__ARMEL__)
constexpr call_abis abis{AUDIT_ARCH_ARM};
#elif defined(__s390x__)
constexpr call_abis abis{AUDIT_ARCH_S390X};
#elif defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
constexpr call_abis abis{AUDIT_ARCH_PPC64LE};
#elif defined(__riscv) && __riscv_xlen == 64
constexpr call_abis abis{AUDIT_ARCH_RISCV64};
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABI64
constexpr call_abis abis{AUDIT_ARCH_MIPSEL64};
#else
constexpr call_abis abis{};
#endif

// Refuses, with EPERM, ioctl's TIOCSTI, which types into the terminal that an
// open descriptor leads to (Landlock leaves those alone), and TIOCLINUX, which
// pastes into a Linux console; and every call through a foreign ABI, which
// the client never makes. Everything else is allowed, calls of an unknown ABI
// included: were the table above wrong, refusing those would refuse exit.
void refuse_typing_into_the_terminal() {
    if constexpr (abis.own != 0) {
        // The kernel reads the command as 32 bits: the low word of the
        // argument, whatever the high one holds.
        constexpr std::size_t command_low_word = offsetof(seccomp_data, args) +
                                                 sizeof(std::uint64_t) +
                                                 (std::endian::native == std::endian::big ? 4 : 0);
        constexpr std::uint32_t refuse = SECCOMP_RET_ERRNO | EPERM;
        // Each jump's two offsets count the instructions skipped when the
        // comparison holds and when it does not; 9 is allow, 10 refuse.
        sock_filter instructions[] = {
            {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, arch)},
            {BPF_JMP | BPF_JEQ | BPF_K, 8, 0, abis.foreign},
            {BPF_JMP | BPF_JEQ | BPF_K, 0, 6, abis.own},
            {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, nr)},
            {BPF_JMP | BPF_JGE | BPF_K, 5, 0, abis.first_foreign_call},
            {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, SYS_ioctl},
            {BPF_LD | BPF_W | BPF_ABS, 0, 0, command_low_word},
            {BPF_JMP | BPF_JEQ | BPF_K, 2, 0, TIOCSTI},
            {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, TIOCLINUX},
            {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
            {BPF_RET | BPF_K, 0, 0, refuse},
        };
        const sock_fprog program{sizeof instructions / sizeof instructions[0], instructions};
        // Emulators, qemu-user and valgrind, may refuse it: the run goes on.
        (void)syscall(SYS_seccomp, long{SECCOMP_SET_MODE_FILTER}, 0L, &program);
    }
}
#else
void refuse_typing_into_the_terminal() {}
#endif
#endif

}  // namespace

void give_up_rights() {
#ifdef CLIENT_CHECKS_LEAKS
    __lsan_do_leak_check();
#endif
#if defined(SYS_prctl) && !defined(CLIENT_WITHOUT_SYSTEM_EXTRAS)
    const long ruleset = landlock_ruleset();
    // Both Landlock and the filter hold an unprivileged process only once it
    // can gain no privilege by running a program. Through syscall, rather
    // than prctl: one import less to bind at start.
    if (syscall(SYS_prctl, long{PR_SET_NO_NEW_PRIVS}, 1L, 0L, 0L, 0L) == 0) {
        if (ruleset >= 0) {
            restrict_to(ruleset);
        }
        refuse_typing_into_the_terminal();
    }
    if (ruleset >= 0) {
        (void)close(static_cast<int>(ruleset));
    }
#endif
    // Last, on every system: with no descriptor to spare, nothing can be
    // opened, no file, no socket of any family (UDP, a UNIX socket by its
    // path), no pipe, which no Landlock refuses. Nothing later needs one: the
    // name is resolved, the locale's converter loaded, the leak check done,
    // and the run writes only to the descriptors it holds. A process allowed
    // to raise its limits again (CAP_SYS_RESOURCE) is not held by it.
    const rlimit no_descriptors{0, 0};
    (void)setrlimit(RLIMIT_NOFILE, &no_descriptors);
}
