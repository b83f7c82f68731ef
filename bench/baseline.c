/* The yardstick: the same single exchange as client, written as plain C with
 * no checks beyond the essentials. The first line of standard input goes out
 * in 64 KiB blocks; the answer is one receive of at most 255 bytes. Once
 * connected it gives up files, TCP and signals with Landlock, typing into
 * the terminal with a seccomp filter, and new descriptors with a limit of
 * none, as the client does, so that the yardstick does the same job (x86-64
 * only, where the benchmark runs). */
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netdb.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static char line[65536];

static void confine(void) {
    static const uint64_t file_rights[] = {0x1fff, 0x3fff, 0x7fff, 0x7fff, 0xffff, 0xffff};
    static struct sock_filter filter[] = {
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(struct seccomp_data, arch)},
        {BPF_JMP | BPF_JEQ | BPF_K, 8, 0, AUDIT_ARCH_I386},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 6, AUDIT_ARCH_X86_64},
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(struct seccomp_data, nr)},
        {BPF_JMP | BPF_JGE | BPF_K, 5, 0, 0x40000000},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, SYS_ioctl},
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(struct seccomp_data, args) + 8},
        {BPF_JMP | BPF_JEQ | BPF_K, 2, 0, TIOCSTI},
        {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, TIOCLINUX},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | 1},
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    struct rlimit none = {0, 0};
    uint64_t rules[3];
    long abi = syscall(SYS_landlock_create_ruleset, NULL, (size_t)0, 1L);
    long ruleset = -1;
    if (abi > 6) abi = 6;
    if (abi >= 1) {
        rules[0] = file_rights[abi - 1];
        rules[1] = abi >= 4 ? 3 : 0;
        rules[2] = abi >= 6 ? 3 : 0;
        ruleset = syscall(SYS_landlock_create_ruleset, rules, sizeof rules, 0L);
    }
    if (syscall(SYS_prctl, (long)PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L) == 0) {
        if (ruleset >= 0) syscall(SYS_landlock_restrict_self, ruleset, 0L);
        syscall(SYS_seccomp, (long)SECCOMP_SET_MODE_FILTER, 0L, &program);
    }
    if (ruleset >= 0) close((int)ruleset);
    setrlimit(RLIMIT_NOFILE, &none);
}

int main(int argc, char *argv[]) {
    struct addrinfo hints, *address;
    char answer[256];
    char *newline;
    size_t length = 0;
    ssize_t count;
    int descriptor;
    if (argc < 3) return 1;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    descriptor = socket(AF_INET, SOCK_STREAM, 0);
    if (descriptor < 0 || getaddrinfo(argv[1], argv[2], &hints, &address) != 0) return 1;
    if (connect(descriptor, address->ai_addr, address->ai_addrlen) < 0) return 1;
    confine();
    printf("Please enter the message: ");
    fflush(stdout);
    for (;;) {
        count = read(0, line + length, sizeof line - length);
        if (count < 0) return 1;
        newline = memchr(line + length, '\n', (size_t)count);
        if (newline != NULL) {
            length = (size_t)(newline + 1 - line);
            break;
        }
        length += (size_t)count;
        if (count == 0) break;
        if (length == sizeof line) {
            if (write(descriptor, line, length) != (ssize_t)length) return 1;
            length = 0;
        }
    }
    if (write(descriptor, line, length) != (ssize_t)length) return 1;
    count = read(descriptor, answer, 255);
    if (count < 0) return 1;
    fwrite(answer, 1, (size_t)count, stdout);
    putchar('\n');
    return 0;
}
