// client: send one line to a TCP server and print its answer.
//
//     client hostname port
//
// Connects over IPv4 to the first address of hostname, prompts for one line on
// standard input, sends that line whole (its newline included), prints what a
// single receive of at most 255 bytes returns, and ends. One run is one
// connection, one message out and one answer in; there are no time-outs. At a
// terminal, whatever in the answer is not text in the locale's character set
// is shown, not obeyed; to a pipe or a file its bytes go exactly as received.
// Once connected, and before it reads anything, it gives up opening anything
// new and, as far as the system lets it, running programs, signals and typing
// into the terminal.
//
// Exit status: 0 after a completed exchange (a server that closes without
// answering included), 1 after any failure, which is reported on standard error.

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "give_up_rights.h"
#include "show_visibly.h"

// Without it, a server that resets the connection would end the run by
// SIGPIPE, with no report and no exit status of its own.
#ifndef MSG_NOSIGNAL
#error "send() has no MSG_NOSIGNAL on this system"
#endif

namespace {

// The answer, at most answer_limit bytes, and the newline printed after it.
constexpr std::size_t message_buffer_size = answer_limit + 1;
// A line of up to this size goes out in one send, with no small tail for a
// delayed acknowledgement to hold back; a longer one goes out in pieces of at
// least this size as it is read.
constexpr std::size_t line_piece_size = std::size_t{64} * 1024;
// Reads of up to this size keep the calls few where standard input is a file:
// of the sizes tried, from 64 KiB to 2 MiB, 512 KiB sent a long line fastest.
constexpr std::size_t line_buffer_size = std::size_t{512} * 1024;
// A pipe on standard input is asked to grow to this, the most that an
// unprivileged process may ask, once its line outgrows one piece: the writer
// then goes on filling it while a piece is sent, instead of waiting on 64 KiB.
// Unused where pipes cannot grow.
[[maybe_unused]] constexpr int long_line_pipe_size = 1024 * 1024;
constexpr int highest_port = 65535;

// Reports message with the system's reason for the last failed call, and ends
// the run as a failure.
[[noreturn]] void error(const char *message) {
    std::perror(message);
    std::exit(EXIT_FAILURE);
}

// Reports message, a whole line with no system reason behind it, and ends the
// run as a failure.
[[noreturn]] void error_without_reason(const char *message) {
    (void)std::fputs(message, stderr);
    std::exit(EXIT_FAILURE);
}

// Fills any of descriptors 0, 1 and 2 that the caller left closed with
// /dev/null, opened so that the stream's own use fails with EBADF as on the
// closed one: write-only for standard input, read-only for the others. False,
// with errno set, when one of them could not be filled.
bool hold_closed_standard_descriptors() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // Those below are open by now, so the lowest free number is this one.
        const int placeholder =
            open("/dev/null", (descriptor == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
        if (placeholder != descriptor) {
            return false;
        }
    }
    return true;
}

// Returns a TCP socket numbered above the standard descriptors. When the
// caller left one of those closed, the socket takes its number, and the
// prompt, the line or a report would travel on the wrong stream: the closed
// ones are then held, so that they still fail as closed ones do, and the
// socket is made anew. Where they cannot be held, no socket is safe to use.
int open_socket() {
    int socket_descriptor = socket(AF_INET, SOCK_STREAM, 0);
    if (socket_descriptor >= 0 && socket_descriptor <= STDERR_FILENO) {
        // Closed first, so that a report for a closed standard error is lost
        // with it instead of reaching the socket.
        (void)close(socket_descriptor);
        if (!hold_closed_standard_descriptors()) {
            error("ERROR opening socket");
        }
        socket_descriptor = socket(AF_INET, SOCK_STREAM, 0);
    }
    if (socket_descriptor < 0) {
        error("ERROR opening socket");
    }
    return socket_descriptor;
}

// True when text is a port in plain decimal digits (leading zeros allowed)
// from 1 to 65535: no sign, no blanks, nothing after the digits.
bool is_port(const char *text) {
    int port = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
        port = port * 10 + (*text - '0');
        if (port > highest_port) {
            return false;
        }
    }
    return port > 0;
}

// A socket connected to itself has the same address at both ends. That
// happens when nothing listens on a local port that the system also picks as
// the socket's own: there is no server, whatever connect said. The peer is
// asked, not taken from the address dialled: 0.0.0.0 connects to 127.0.0.1.
bool is_connected_to_itself(int socket_descriptor) {
    sockaddr own{};
    sockaddr peer{};
    socklen_t own_length = sizeof own;
    socklen_t peer_length = sizeof peer;
    return getsockname(socket_descriptor, &own, &own_length) == 0 &&
           getpeername(socket_descriptor, &peer, &peer_length) == 0 &&
           std::memcmp(&own, &peer, sizeof own) == 0;
}

// Returns a socket connected to the first IPv4 address of host at port_text.
int connect_to_server(const char *host, const char *port_text) {
    const int socket_descriptor = open_socket();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *host_record = nullptr;
    if (getaddrinfo(host, port_text, &hints, &host_record) != 0) {
        error_without_reason("ERROR, no such host\n");
    }
    // Only the first address is tried: a refusal there ends the run.
    if (connect(socket_descriptor, host_record->ai_addr, host_record->ai_addrlen) < 0) {
        error("ERROR connecting");
    }
    freeaddrinfo(host_record);
    if (is_connected_to_itself(socket_descriptor)) {
        errno = ECONNREFUSED;
        error("ERROR connecting");
    }
    return socket_descriptor;
}

// True when standard output is a terminal, where the answer is shown in the
// locale's character set (LC_ALL, LC_CTYPE, LANG); one that cannot be set,
// not installed say, leaves the C locale, in which no byte from 0x80 up is
// text: shown safely still. The C library loads a character set's converter
// at the first decode, a file that a confined client could no longer open:
// an empty decode here loads it. To a pipe the locale plays no part.
bool set_terminal_locale() {
    if (isatty(STDOUT_FILENO) != 1) {
        return false;
    }
    (void)std::setlocale(LC_CTYPE, "");
    std::mbstate_t state{};
    (void)std::mbrtowc(nullptr, nullptr, 0, &state);
    return true;
}

// Flushed so that the prompt is on screen before the wait for the line,
// whatever standard input is. Returns 0, or the errno of its failure, which
// is reported with the answer so that the exchange still takes place.
int prompt() {
    if (std::fputs("Please enter the message: ", stdout) == EOF || std::fflush(stdout) != 0) {
        return errno;
    }
    return 0;
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

// Sends the first line of standard input, its newline included, or all of
// the input when it holds no newline; NUL bytes are data like any other. The
// line goes out only once the buffer holds its end or a whole piece, so a
// read error sends nothing of a line shorter than one piece; of any other,
// the pieces already sent stay sent. Bytes read past the newline are dropped.
void send_line(int socket_descriptor) {
    static char line_buffer[line_buffer_size];
    std::size_t length = 0;
    bool long_line = false;
    for (;;) {
        const ssize_t byte_count =
            read(STDIN_FILENO, line_buffer + length, sizeof line_buffer - length);
        if (byte_count < 0) {
            if (errno == EINTR) {
                continue;
            }
            error("ERROR reading from standard input");
        }
        if (byte_count == 0) {
            break;
        }
        const std::string_view block(line_buffer + length, static_cast<std::size_t>(byte_count));
        const std::size_t newline = block.find('\n');
        if (newline != std::string_view::npos) {
            length += newline + 1;
            break;
        }
        length += block.size();
        if (length >= line_piece_size) {
            if (!long_line) {
#if defined(F_SETPIPE_SZ) && !defined(CLIENT_WITHOUT_SYSTEM_EXTRAS)
                // Fails harmlessly where standard input is no pipe. Where pipes
                // cannot grow, the writer waits whenever the pipe is full.
                (void)fcntl(STDIN_FILENO, F_SETPIPE_SZ, long_line_pipe_size);
#endif
                long_line = true;
            }
            send_all(socket_descriptor, line_buffer, length);
            length = 0;
        }
    }
    send_all(socket_descriptor, line_buffer, length);
}

// Takes the answer in one receive into message_buffer and returns its length.
std::size_t receive_answer(int socket_descriptor, char (&message_buffer)[message_buffer_size]) {
    ssize_t byte_count = 0;
    do {
        byte_count = read(socket_descriptor, message_buffer, answer_limit);
    } while (byte_count < 0 && errno == EINTR);
    if (byte_count < 0) {
        error("ERROR reading from socket");
    }
    return static_cast<std::size_t>(byte_count);
}

// Prints the answer and a newline: exactly as received, NUL bytes included,
// except at a terminal, where it is shown visibly. Then reports the failure
// of the prompt, if it failed.
void print_answer(char (&message_buffer)[message_buffer_size], std::size_t length, bool at_terminal,
                  int prompt_error) {
    char shown_buffer[shown_limit + 1];
    char *shown = message_buffer;
    if (at_terminal) {
        length = show_visibly(message_buffer, length, shown_buffer);
        shown = shown_buffer;
    }
    shown[length] = '\n';
    if (std::fwrite(shown, 1, length + 1, stdout) != length + 1 || std::fflush(stdout) != 0) {
        error("ERROR writing to standard output");
    }
    if (prompt_error != 0) {
        errno = prompt_error;
        error("ERROR writing to standard output");
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
    if (!is_port(argv[2])) {
        error_without_reason("ERROR, invalid port\n");
    }

    const int socket_descriptor = connect_to_server(argv[1], argv[2]);
    const bool at_terminal = set_terminal_locale();
    give_up_rights();
    const int prompt_error = prompt();
    send_line(socket_descriptor);
    char message_buffer[message_buffer_size];
    const std::size_t answer_length = receive_answer(socket_descriptor, message_buffer);
    print_answer(message_buffer, answer_length, at_terminal, prompt_error);
    return EXIT_SUCCESS;
}
