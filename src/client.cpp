// client: send one line to a TCP server and print its answer.
//
//     client hostname port
//
// Connects over IPv4 to the first address of hostname, prompts for one line on
// standard input, sends that line whole (its newline included), prints what a
// single receive of at most 255 bytes returns, and ends. One run is one
// connection, one message out and one answer in; there are no time-outs.
//
// Exit status: 0 after a completed exchange (a server that closes without
// answering included), 1 after any failure, which is reported on standard error.

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::size_t message_buffer_size = 256;
// One byte short of the buffer: the answer has always been taken in one
// receive of at most 255 bytes, and callers may rely on that bound.
constexpr std::size_t answer_limit = message_buffer_size - 1;
constexpr int highest_port = 65535;

// Reports message with the system's reason for the last failed call, and ends
// the run as a failure.
[[noreturn]] void error(const char *message) {
    std::perror(message);
    std::exit(EXIT_FAILURE);
}

// Reports a failure that has no system reason behind it, and ends the run.
[[noreturn]] void fail(const char *text) {
    (void)std::fputs(text, stderr);
    std::exit(EXIT_FAILURE);
}

// Returns the port that text names in plain decimal digits (leading zeros
// allowed), or 0 when text is anything else or outside 1-65535.
int parse_port(const char *text) {
    int port = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return 0;
        }
        port = port * 10 + (*text - '0');
        if (port > highest_port) {
            return 0;
        }
    }
    return port;
}

// Sends all length bytes, continuing after short sends and interruptions.
// MSG_NOSIGNAL turns a reset connection into EPIPE, reported like any other
// failure, instead of a silent death by SIGPIPE.
void send_all(int socket_descriptor, const char *bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t byte_count = send(socket_descriptor, bytes, length, MSG_NOSIGNAL);
        if (byte_count < 0) {
            if (errno == EINTR) {
                continue;
            }
            error("ERROR writing to socket");
        }
        bytes += byte_count;
        length -= static_cast<std::size_t>(byte_count);
    }
}

}  // namespace

int main(int argc, char *argv[]) {
    if (argc < 3) {
        // Linux hands an empty argument vector over as one empty name.
        const bool named = argc > 0 && argv[0][0] != '\0';
        (void)std::fprintf(stderr, "usage %s hostname port\n", named ? argv[0] : "client");
        return EXIT_FAILURE;
    }
    const int port_number = parse_port(argv[2]);
    if (port_number == 0) {
        fail("ERROR, invalid port\n");
    }

    const int socket_descriptor = socket(AF_INET, SOCK_STREAM, 0);
    if (socket_descriptor < 0) {
        error("ERROR opening socket");
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *host_record = nullptr;
    if (getaddrinfo(argv[1], nullptr, &hints, &host_record) != 0) {
        fail("ERROR, no such host\n");
    }
    // Only the first address is tried: a refusal there ends the run.
    sockaddr_in server_address{};
    server_address.sin_family = AF_INET;
    server_address.sin_addr = reinterpret_cast<const sockaddr_in *>(host_record->ai_addr)->sin_addr;
    freeaddrinfo(host_record);
    server_address.sin_port = htons(static_cast<in_port_t>(port_number));
    if (connect(socket_descriptor, reinterpret_cast<const sockaddr *>(&server_address),
                sizeof server_address) < 0) {
        error("ERROR connecting");
    }

    // Flushed so that the prompt is on screen before the wait for the line,
    // whatever standard input is. A failure here stays on the stream and is
    // reported with the answer, so the exchange still takes place.
    (void)std::fputs("Please enter the message: ", stdout);
    (void)std::fflush(stdout);

    // The line goes out in buffer-sized pieces, so a line of any length, NUL
    // bytes included, arrives whole without a buffer to match it.
    char message_buffer[message_buffer_size];
    std::size_t length = 0;
    for (int character = std::getchar(); character != EOF; character = std::getchar()) {
        message_buffer[length++] = static_cast<char>(character);
        if (character == '\n') {
            break;
        }
        if (length == message_buffer_size) {
            send_all(socket_descriptor, message_buffer, length);
            length = 0;
        }
    }
    if (std::ferror(stdin) != 0) {
        error("ERROR reading from standard input");
    }
    send_all(socket_descriptor, message_buffer, length);

    ssize_t byte_count = 0;
    do {
        byte_count = recv(socket_descriptor, message_buffer, answer_limit, 0);
    } while (byte_count < 0 && errno == EINTR);
    if (byte_count < 0) {
        error("ERROR reading from socket");
    }

    (void)std::fwrite(message_buffer, 1, static_cast<std::size_t>(byte_count), stdout);
    (void)std::putchar('\n');
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        error("ERROR writing to standard output");
    }
    return EXIT_SUCCESS;
}
