/* The server for the long-line benchmark, on 127.0.0.1 at a port the kernel
 * picks, which it prints once it listens:
 *
 *     sink LENGTH
 *
 * For each connection, reads exactly LENGTH bytes and checks that they are
 * what bench/run sends: the alphabet over and over, then one newline. Then it
 * answers "+OK" and closes. A connection that brings anything else ends the
 * sink with status 1, so every later run fails to connect. */
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static char block[65536];
static char pattern[sizeof block + 26];

static int check(int connection, unsigned long long length) {
    unsigned long long offset = 0;
    while (offset < length) {
        size_t wanted = length - offset < sizeof block ? (size_t)(length - offset) : sizeof block;
        ssize_t count = read(connection, block, wanted);
        size_t body;
        if (count <= 0) return 0;
        body = (size_t)count;
        if (offset + body == length) {
            if (block[--body] != '\n') return 0;
        }
        if (memcmp(block, pattern + offset % 26, body) != 0) return 0;
        offset += (unsigned long long)count;
    }
    return 1;
}

int main(int argc, char *argv[]) {
    struct sockaddr_in address;
    socklen_t size = sizeof address;
    unsigned long long length;
    int listener, connection;
    size_t i;
    if (argc != 2 || (length = strtoull(argv[1], NULL, 10)) == 0) {
        fprintf(stderr, "usage: sink LENGTH\n");
        return 2;
    }
    for (i = 0; i < sizeof pattern; ++i) pattern[i] = (char)('a' + i % 26);
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, size) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, (struct sockaddr *)&address, &size) != 0) {
        perror("sink");
        return 1;
    }
    printf("%d\n", ntohs(address.sin_port));
    fflush(stdout);
    while ((connection = accept(listener, NULL, NULL)) >= 0) {
        if (!check(connection, length)) {
            fprintf(stderr, "sink: a connection did not bring the %llu bytes expected\n", length);
            return 1;
        }
        if (write(connection, "+OK\n", 4) != 4) return 1;
        close(connection);
    }
    perror("sink");
    return 1;
}
