// End-to-end tests: the real client binary against a scripted peer on
// 127.0.0.1. Every wait has a deadline, after which the client is killed and
// the case fails.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous, for the sanitizer build; a passing case takes milliseconds.
constexpr auto time_limit = 30s;
const std::string prompt = "Please enter the message: ";

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd can be read or accepted from; false at the deadline.
bool readable(int fd, Clock::time_point deadline) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, ms_until(deadline)) > 0;
}

// Appends what one read of fd gives and returns its count: 0 at the end of
// the stream, -1 on an error or at the deadline.
ssize_t read_some(int fd, std::string &into, Clock::time_point deadline) {
    if (!readable(fd, deadline)) {
        return -1;
    }
    char buffer[65536];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) {
        into.append(buffer, static_cast<std::size_t>(count));
    }
    return count;
}

// Returns a TCP socket bound to 127.0.0.1 at a port the kernel picked, and
// that port.
int bound_to_loopback(in_port_t &port) {
    const int bound = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(bound, reinterpret_cast<sockaddr *>(&address), length), 0);
    EXPECT_EQ(getsockname(bound, reinterpret_cast<sockaddr *>(&address), &length), 0);
    port = ntohs(address.sin_port);
    return bound;
}

// What the peer does after it has accepted the connection.
enum class End {
    drain,             // answer at once, then read all the client sends
    close_after_line,  // answer, read up to the first newline, then close
    reset,             // half-close, read a few bytes, then reset
};

// A peer on 127.0.0.1, at a port the kernel picks, serving one connection.
class Server {
public:
    explicit Server(std::string answer, End end = End::drain)
        : listener_(bound_to_loopback(port_)) {
        EXPECT_EQ(listen(listener_, 1), 0);
        thread_ = std::thread([this, answer = std::move(answer), end] { serve(answer, end); });
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    ~Server() {
        received();
        close(listener_);
    }

    std::string port() const { return std::to_string(port_); }

    // Everything the client sent, once the exchange is over.
    const std::string &received() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return received_;
    }

private:
    void serve(const std::string &answer, End end) {
        const auto deadline = Clock::now() + time_limit;
        if (!readable(listener_, deadline)) {
            return;
        }
        const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (end == End::reset) {
            shutdown(connection, SHUT_WR);
            read_some(connection, received_, deadline);
            const linger abort_on_close{1, 0};
            setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        } else {
            send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
            while (read_some(connection, received_, deadline) > 0 &&
                   (end == End::drain || received_.find('\n') == std::string::npos)) {
            }
        }
        close(connection);
    }

    in_port_t port_ = 0;
    int listener_;
    std::string received_;
    std::thread thread_;
};

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;
    int signal = 0;
};

// Starts the client with argv (argv[0] included; it may be empty) on the
// given standard streams, with SIGPIPE at its default action whatever the
// test process does with it.
pid_t spawn(const std::vector<std::string> &argv, int in, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<char *> pointers;
    pointers.reserve(argv.size() + 1);
    for (const auto &argument : argv) {
        pointers.push_back(const_cast<char *>(argument.c_str()));
    }
    pointers.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, CLIENT_PATH, &actions, &attributes, pointers.data(), environ), 0);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for the client to end; kills it at the deadline and fails the case.
void reap(pid_t pid, Outcome &outcome, Clock::time_point deadline) {
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the client did not end in time";
            return;
        }
        std::this_thread::sleep_for(5ms);
    }
    if (WIFEXITED(status)) {
        outcome.status = WEXITSTATUS(status);
    } else {
        outcome.signal = WTERMSIG(status);
    }
}

// Runs the client to its end, feeding input through a pipe and capturing its
// standard output and error; stdin_fd and stdout_fd, when given, replace the
// pipes for those streams.
Outcome run_client(const std::vector<std::string> &argv, const std::string &input,
                   int stdin_fd = -1, int stdout_fd = -1) {
    (void)std::signal(SIGPIPE, SIG_IGN);  // the client may leave part of its input unread
    const auto deadline = Clock::now() + time_limit;
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (stdin_fd < 0) {
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        fcntl(in[1], F_SETFL, O_NONBLOCK);
    }
    if (stdout_fd < 0) {
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    }
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    const pid_t pid =
        spawn(argv, stdin_fd < 0 ? in[0] : stdin_fd, stdout_fd < 0 ? out[1] : stdout_fd, err[1]);
    for (const int child_end : {in[0], out[1], err[1]}) {
        close(child_end);
    }
    Outcome outcome;
    std::size_t written = 0;
    pollfd streams[] = {{in[1], POLLOUT, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *captures[] = {nullptr, &outcome.out, &outcome.err};
    while ((streams[1].fd >= 0 || streams[2].fd >= 0) && poll(streams, 3, ms_until(deadline)) > 0) {
        if (streams[0].revents != 0) {
            const ssize_t count =
                write(streams[0].fd, input.data() + written, input.size() - written);
            written += count > 0 ? static_cast<std::size_t>(count) : 0;
        }
        if (streams[0].fd >= 0 &&
            (written == input.size() || (streams[0].revents & POLLERR) != 0)) {
            close(streams[0].fd);
            streams[0].fd = -1;
        }
        for (int i = 1; i < 3; ++i) {
            if (streams[i].revents != 0 && read_some(streams[i].fd, *captures[i], deadline) <= 0) {
                close(streams[i].fd);
                streams[i].fd = -1;
            }
        }
    }
    for (const auto &stream : streams) {
        close(stream.fd);
    }
    reap(pid, outcome, deadline);
    return outcome;
}

std::vector<std::string> client_with(std::vector<std::string> args) {
    args.insert(args.begin(), CLIENT_PATH);
    return args;
}

constexpr auto name_of_case = [](const auto &case_info) {
    return std::string(case_info.param.name);
};

// Failures found before any connection: the exact report, status 1, nothing
// on standard output.
struct EarlyFailure {
    const char *name;
    std::vector<std::string> args;
    std::string report;
};

void PrintTo(const EarlyFailure &failure, std::ostream *out) { *out << failure.name; }

class EarlyFailureTest : public testing::TestWithParam<EarlyFailure> {};

TEST_P(EarlyFailureTest, ReportsAndExitsWithOne) {
    const Outcome outcome = run_client(client_with(GetParam().args), "");
    EXPECT_EQ(outcome.err, GetParam().report);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
}

const std::string usage = std::string("usage ") + CLIENT_PATH + " hostname port\n";
const std::string invalid_port = "ERROR, invalid port\n";

// The invalid ports go with a host that cannot be resolved: the port report
// shows that the port is checked before any lookup.
INSTANTIATE_TEST_SUITE_P(
    CommandLine, EarlyFailureTest,
    testing::Values(EarlyFailure{"NoArguments", {}, usage},
                    EarlyFailure{"HostOnly", {"127.0.0.1"}, usage},
                    EarlyFailure{"TrailingLetters", {"", "80abc"}, invalid_port},
                    EarlyFailure{"NoDigits", {"", "abc"}, invalid_port},
                    EarlyFailure{"Empty", {"", ""}, invalid_port},
                    EarlyFailure{"Zero", {"", "0"}, invalid_port},
                    EarlyFailure{"AboveRange", {"", "65536"}, invalid_port},
                    EarlyFailure{"Negative", {"", "-1"}, invalid_port},
                    EarlyFailure{"LeadingBlank", {"", " 80"}, invalid_port},
                    EarlyFailure{"Plus", {"", "+80"}, invalid_port},
                    EarlyFailure{"WrapsTo80", {"", "4294967376"}, invalid_port},
                    // The empty name fails in the resolver without a query.
                    EarlyFailure{"UnresolvedHost", {"", "80"}, "ERROR, no such host\n"}),
    name_of_case);

TEST(Client, NamesItselfClientWhenGivenNoArgumentVector) {
    const Outcome outcome = run_client({}, "");
    EXPECT_EQ(outcome.err, "usage client hostname port\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST(Client, ReportsARefusedConnection) {
    // Bound but not listening: the port is ours, and connecting to it is refused.
    in_port_t port = 0;
    const int unused = bound_to_loopback(port);
    const Outcome outcome = run_client(client_with({"127.0.0.1", std::to_string(port)}), "hi\n");
    close(unused);
    EXPECT_EQ(outcome.err, "ERROR connecting: Connection refused\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
}

// A completed exchange: what the server got, byte for byte, and what the
// client printed after its prompt.
struct Exchange {
    const char *name;
    std::string host;
    std::string port_prefix;
    std::string input;
    std::string answer;
    End end;
    std::string sent;
    std::string printed;
};

void PrintTo(const Exchange &exchange, std::ostream *out) { *out << exchange.name; }

class ExchangeTest : public testing::TestWithParam<Exchange> {};

TEST_P(ExchangeTest, SendsTheLineAndPrintsTheAnswer) {
    const Exchange &exchange = GetParam();
    Server server(exchange.answer, exchange.end);
    const Outcome outcome =
        run_client(client_with({exchange.host, exchange.port_prefix + server.port(), "ignored"}),
                   exchange.input);
    EXPECT_EQ(server.received(), exchange.sent);
    EXPECT_EQ(outcome.out, prompt + exchange.printed);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
}

using namespace std::string_literals;
const std::string long_line = std::string(1 << 20, 'x') + "\n";
const std::string long_answer(300, 'a');

INSTANTIATE_TEST_SUITE_P(
    Exchanges, ExchangeTest,
    testing::Values(Exchange{"FirstLineOnly", "127.0.0.1", "", "PING\nsecond\n", "+PONG\r\n",
                             End::drain, "PING\n", "+PONG\r\n\n"},
                    Exchange{"LocalhostAndLeadingZeros", "localhost", "000", "hi\n", "ok",
                             End::drain, "hi\n", "ok\n"},
                    Exchange{"EmptyLine", "127.0.0.1", "", "\n", "ok", End::drain, "\n", "ok\n"},
                    Exchange{"LongLine", "127.0.0.1", "", long_line + "rest\n", "ok", End::drain,
                             long_line, "ok\n"},
                    Exchange{"NulBytesBothWays", "127.0.0.1", "", "a\0b\n"s, "x\0y"s, End::drain,
                             "a\0b\n"s, "x\0y\n"s},
                    Exchange{"LastLineWithoutNewline", "127.0.0.1", "", "abc", "ok", End::drain,
                             "abc", "ok\n"},
                    Exchange{"EmptyInput", "127.0.0.1", "", "", "ok", End::drain, "", "ok\n"},
                    Exchange{"OneReceiveOf255Bytes", "127.0.0.1", "", "hi\n", long_answer,
                             End::drain, "hi\n", long_answer.substr(0, 255) + "\n"},
                    Exchange{"ServerClosesWithoutAnswer", "127.0.0.1", "", "hi\n", "",
                             End::close_after_line, "hi\n", "\n"}),
    name_of_case);

TEST(Client, ReportsAResetWhileSendingInsteadOfDyingBySignal) {
    // 16 MiB outgrows the socket buffers, so sends are still going on when the reset lands.
    Server server("", End::reset);
    const Outcome outcome =
        run_client(client_with({"127.0.0.1", server.port()}), std::string(16 << 20, 'x') + "\n");
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err.rfind("ERROR writing to socket: ", 0), 0u) << outcome.err;
}

TEST(Client, ReportsAnAnswerThatCannotBeWritten) {
    Server server("ok");
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    const Outcome outcome = run_client(client_with({"127.0.0.1", server.port()}), "hi\n", -1, full);
    close(full);
    EXPECT_EQ(server.received(), "hi\n");
    EXPECT_EQ(outcome.err, "ERROR writing to standard output: No space left on device\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST(Client, ReportsUnreadableInputAndSendsNothing) {
    Server server("ok");
    const int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const Outcome outcome = run_client(client_with({"127.0.0.1", server.port()}), "", directory);
    close(directory);
    EXPECT_EQ(server.received(), "");
    EXPECT_EQ(outcome.out, prompt);
    EXPECT_EQ(outcome.err, "ERROR reading from standard input: Is a directory\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST(Client, PromptsOnATerminalBeforeTheLineIsTyped) {
    Server server("ok");
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    const auto deadline = Clock::now() + time_limit;
    const pid_t pid =
        spawn(client_with({"127.0.0.1", server.port()}), terminal, terminal, terminal);
    close(terminal);
    std::string screen;
    while (screen.size() < prompt.size() && read_some(master, screen, deadline) > 0) {
    }
    EXPECT_EQ(screen, prompt);
    ASSERT_EQ(write(master, "hi\n", 3), 3);
    // Ends with EIO once the client has gone and the terminal has no user left.
    while (read_some(master, screen, deadline) > 0) {
    }
    close(master);
    Outcome outcome;
    reap(pid, outcome, deadline);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(server.received(), "hi\n");
    EXPECT_NE(screen.find("ok"), std::string::npos) << screen;
}

}  // namespace
