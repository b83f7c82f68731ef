/* The yardstick: the same single exchange as client, written as plain C with
 * no checks beyond the essentials. The first line of standard input goes out
 * in 64 KiB blocks; the answer is one receive of at most 255 bytes. */
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static char line[65536];

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
