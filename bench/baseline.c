/* The yardstick: the same single exchange as client, written as plain C with
 * no checks beyond the essentials. The first line of standard input goes out
 * in 64 KiB blocks; the answer is one receive of at most 255 bytes. Once
 * connected it gives up files, TCP and signals with Landlock, as the client
 * does, so that the yardstick does the same job. */
#include <netdb.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static char line[65536];

static void confine(void) {
    static const uint64_t file_rights[] = {0x1fff, 0x3fff, 0x7fff, 0x7fff, 0xffff, 0xffff};
    uint64_t rules[3];
    long abi = syscall(SYS_landlock_create_ruleset, NULL, (size_t)0, 1L);
    long ruleset;
    if (abi < 1) return;
    if (abi > 6) abi = 6;
    rules[0] = file_rights[abi - 1];
    rules[1] = abi >= 4 ? 3 : 0;
    rules[2] = abi >= 6 ? 3 : 0;
    ruleset = syscall(SYS_landlock_create_ruleset, rules, sizeof rules, 0L);
    if (ruleset < 0) return;
    if (syscall(SYS_prctl, (long)PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L) == 0)
        syscall(SYS_landlock_restrict_self, ruleset, 0L);
    close((int)ruleset);
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
