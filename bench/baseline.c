/* The yardstick: the same single exchange as client, written as plain C with
 * no checks beyond the essentials. */
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
    struct addrinfo hints, *address;
    char buffer[256];
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
    memset(buffer, 0, sizeof buffer);
    if (fgets(buffer, 255, stdin) == NULL) buffer[0] = '\0';
    if (write(descriptor, buffer, strlen(buffer)) < 0) return 1;
    memset(buffer, 0, sizeof buffer);
    count = read(descriptor, buffer, 255);
    if (count < 0) return 1;
    printf("%s\n", buffer);
    return 0;
}
