// End-to-end tests: the real client binary against a scripted peer on
// 127.0.0.1. Every wait has a deadline, after which the client is killed and
// the case fails.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if __has_include(<linux/landlock.h>)
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char **environ;

// The build names the folder where the locales of the terminal cases are
// made; a compile of this file alone, a check for another system say, gets
// a folder of no consequence.
#ifndef TEST_LOCALES
#define TEST_LOCALES "locales"
#endif
#ifndef STAND_IN_EXPLOIT
#define STAND_IN_EXPLOIT "stand_in_exploit.so"
#endif

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

// Appends what one read of fd gives and returns its count: 0 at the end of
// the stream, -1 on an error or at the deadline.
ssize_t read_some(int fd, std::string &into, Clock::time_point deadline) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, ms_until(deadline)) <= 0) {
        return -1;
    }
    char buffer[65536];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) {
        into.append(buffer, static_cast<std::size_t>(count));
    }
    return count;
}

// Returns fd, marked to be closed in the client that the test starts.
int cloexec(int fd) {
    EXPECT_EQ(fcntl(fd, F_SETFD, FD_CLOEXEC), 0);
    return fd;
}

// A pipe whose ends are closed in the client that the test starts.
void make_pipe(int (&ends)[2]) {
    ASSERT_EQ(pipe(ends), 0);
    cloexec(ends[0]);
    cloexec(ends[1]);
}

// Opens a terminal and returns its user's end (what the screen shows, what
// the keyboard types) and, in terminal, the end a program is given. Output
// processing and echo are off, so the screen shows exactly what the program
// writes.
int open_terminal(int &terminal) {
    const int user_end = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(user_end, 0);
    EXPECT_EQ(grantpt(user_end), 0);
    EXPECT_EQ(unlockpt(user_end), 0);
    terminal = open(ptsname(user_end), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(terminal, 0);
    termios settings{};
    EXPECT_EQ(tcgetattr(terminal, &settings), 0);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    EXPECT_EQ(tcsetattr(terminal, TCSANOW, &settings), 0);
    return user_end;
}

// Returns a socket of type (TCP unless named) bound to 127.0.0.1 at port, or
// where port is 0 at a port the kernel picked, and that port.
int bound_to_loopback(in_port_t &port, int type = SOCK_STREAM) {
    const int bound = cloexec(socket(AF_INET, type, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
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
        make_pipe(client_ended_);
        EXPECT_EQ(listen(listener_, 1), 0);
        thread_ = std::thread([this, answer = std::move(answer), end] { serve(answer, end); });
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    ~Server() {
        received();
        close(listener_);
        close(client_ended_[0]);
        close(client_ended_[1]);
    }

    std::string port() const { return std::to_string(port_); }

    // Everything the client sent; call it once the client has ended.
    const std::string &received() {
        if (thread_.joinable()) {
            EXPECT_EQ(write(client_ended_[1], "", 1), 1);
            thread_.join();
        }
        return received_;
    }

private:
    void serve(const std::string &answer, End end) {
        // A client that has ended left any connection it made in the queue,
        // so a queued connection wins over the news that the client ended.
        const auto deadline = Clock::now() + time_limit;
        pollfd events[] = {{listener_, POLLIN, 0}, {client_ended_[0], POLLIN, 0}};
        if (poll(events, 2, ms_until(deadline)) <= 0 || events[0].revents == 0) {
            return;
        }
        const int connection = cloexec(accept(listener_, nullptr, nullptr));
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
    int client_ended_[2] = {-1, -1};
    std::string received_;
    std::thread thread_;
};

// The Landlock ABI that this kernel offers, which the client asks for the
// same way: 0 where there is none, or where it is off or refused, or where
// the client was built without it.
long landlock_abi() {
#if defined(SYS_landlock_create_ruleset) && defined(CLIENT_HAS_SYSTEM_EXTRAS)
    return std::max(syscall(SYS_landlock_create_ruleset, nullptr, std::size_t{0}, 1L), 0L);
#else
    return 0;
#endif
}

// True where the client filters its calls: seccomp is there and the client
// was built to use it.
bool filters_calls() {
#if defined(PR_GET_SECCOMP) && defined(CLIENT_HAS_SYSTEM_EXTRAS)
    return prctl(PR_GET_SECCOMP) >= 0;
#else
    return false;
#endif
}

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;
    int signal = 0;
};

// Where one of the client's standard streams goes: a pipe of the test's, a
// descriptor of the test's (any value from 0 up), or nowhere, closed.
constexpr int piped = -1;
constexpr int closed = -2;
// Standard input, output and error, in that order.
using Streams = std::array<int, 3>;
constexpr Streams all_piped = {piped, piped, piped};

// Pointers to the texts, ended by a null pointer, for an exec call.
std::vector<char *> pointers_to(const std::vector<std::string> &texts) {
    std::vector<char *> pointers;
    pointers.reserve(texts.size() + 1);
    for (const auto &text : texts) {
        pointers.push_back(const_cast<char *>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Starts program (the client unless named) with argv (argv[0] included; it
// may be empty) on the given descriptors, closed where a stream is closed,
// with SIGPIPE at its default action whatever the test process does with it,
// and with the test's own environment unless another is given. Given a
// terminal, the program starts a session of its own whose controlling
// terminal it is, on standard output.
pid_t spawn(const std::vector<std::string> &argv, Streams streams,
            const char *program = CLIENT_PATH,
            const std::vector<std::string> *environment = nullptr,
            const char *controlling_terminal = nullptr) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    short flags = POSIX_SPAWN_SETSIGDEF;
    for (std::size_t stream = 0; stream < streams.size(); ++stream) {
        const int descriptor = static_cast<int>(stream);
        if (descriptor == STDOUT_FILENO && controlling_terminal != nullptr) {
#ifdef POSIX_SPAWN_SETSID
            flags |= POSIX_SPAWN_SETSID;
#endif
            posix_spawn_file_actions_addopen(&actions, descriptor, controlling_terminal, O_RDWR, 0);
        } else if (streams[stream] == closed) {
            posix_spawn_file_actions_addclose(&actions, descriptor);
        } else {
            posix_spawn_file_actions_adddup2(&actions, streams[stream], descriptor);
        }
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, flags);
    auto arguments = pointers_to(argv);
    auto variables = environment != nullptr ? pointers_to(*environment) : std::vector<char *>{};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawnp(&pid, program, &actions, &attributes, arguments.data(),
                           environment != nullptr ? variables.data() : environ),
              0);
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

// Runs the client (or program) to its end, feeding input through a pipe and
// capturing its standard output and error, wherever streams leaves them piped.
Outcome run_client(const std::vector<std::string> &argv, const std::string &input,
                   Streams streams = all_piped, const char *program = CLIENT_PATH,
                   const std::vector<std::string> *environment = nullptr,
                   const char *controlling_terminal = nullptr) {
    (void)std::signal(SIGPIPE, SIG_IGN);  // the client may leave part of its input unread
    const auto deadline = Clock::now() + time_limit;
    // The test's ends of the pipes, and the client's.
    Streams ours = {-1, -1, -1};
    Streams theirs = {-1, -1, -1};
    for (std::size_t stream = 0; stream < streams.size(); ++stream) {
        if (streams[stream] == piped) {
            int ends[2];
            make_pipe(ends);
            const int child_reads = stream == STDIN_FILENO ? 1 : 0;
            ours[stream] = ends[child_reads];
            streams[stream] = theirs[stream] = ends[1 - child_reads];
        }
    }
    if (ours[STDIN_FILENO] >= 0) {
        fcntl(ours[STDIN_FILENO], F_SETFL, O_NONBLOCK);
    }
    const pid_t pid = spawn(argv, streams, program, environment, controlling_terminal);
    for (const int child_end : theirs) {
        close(child_end);
    }
    Outcome outcome;
    std::size_t written = 0;
    pollfd polled[] = {{ours[0], POLLOUT, 0}, {ours[1], POLLIN, 0}, {ours[2], POLLIN, 0}};
    std::string *captures[] = {nullptr, &outcome.out, &outcome.err};
    while ((polled[1].fd >= 0 || polled[2].fd >= 0) && poll(polled, 3, ms_until(deadline)) > 0) {
        if (polled[0].revents != 0) {
            const ssize_t count =
                write(polled[0].fd, input.data() + written, input.size() - written);
            written += count > 0 ? static_cast<std::size_t>(count) : 0;
        }
        if (polled[0].fd >= 0 && (written == input.size() || (polled[0].revents & POLLERR) != 0)) {
            close(polled[0].fd);
            polled[0].fd = -1;
        }
        for (int i = 1; i < 3; ++i) {
            if (polled[i].revents != 0 && read_some(polled[i].fd, *captures[i], deadline) <= 0) {
                close(polled[i].fd);
                polled[i].fd = -1;
            }
        }
    }
    for (const auto &stream : polled) {
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
                    // The highest port is taken: the lookup is what fails.
                    EarlyFailure{"TopOfRange", {"", "65535"}, "ERROR, no such host\n"},
                    // An IPv6 address has no IPv4 address, whatever /etc/hosts says.
                    EarlyFailure{"Ipv6Literal", {"::1", "80"}, "ERROR, no such host\n"},
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
    // With standard error closed the report has nowhere to go; the status still tells.
    for (const int err : {piped, closed}) {
        const Outcome outcome = run_client(client_with({"127.0.0.1", std::to_string(port)}), "hi\n",
                                           {piped, piped, err});
        EXPECT_EQ(outcome.err, err == piped ? "ERROR connecting: Connection refused\n" : "");
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.signal, 0);
        EXPECT_EQ(outcome.out, "");
    }
    close(unused);
}

TEST(Client, RefusesAConnectionToItself) {
    // In a new network namespace whose one local port is the one dialled, the
    // socket gets that port as its own and connects to itself at once; 0.0.0.0
    // gets there by way of 127.0.0.1.
    const std::string set_up =
        "ip link set lo up && echo '40000 40000' >/proc/sys/net/ipv4/ip_local_port_range";
    const std::string in_own_namespace = set_up + " && exec \"$0\" \"$1\" 40000";
    // Tried rather than guessed from the user id, which fakeroot makes 0.
    if (run_client({"unshare", "-n", "sh", "-c", set_up}, "", all_piped, "unshare").status != 0) {
        GTEST_SKIP() << "needs unshare -n and ip, allowed to make a network namespace";
    }
    for (const char *host : {"127.0.0.1", "0.0.0.0"}) {
        SCOPED_TRACE(host);
        const Outcome outcome =
            run_client({"unshare", "-n", "sh", "-c", in_own_namespace, CLIENT_PATH, host}, "ping\n",
                       all_piped, "unshare");
        EXPECT_EQ(outcome.err, "ERROR connecting: Connection refused\n");
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
    }
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

// Whether /etc/hosts gives localhost an IPv4 address. A bare root (a fresh
// chroot, say) may have no such line, and the resolver would then ask a name
// server off this machine: the file is read instead.
bool hosts_file_names_localhost() {
    std::ifstream hosts("/etc/hosts");
    std::string line;
    while (std::getline(hosts, line)) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string address;
        std::string name;
        if (fields >> address && address.find(':') == std::string::npos) {
            while (fields >> name) {
                if (name == "localhost") {
                    return true;
                }
            }
        }
    }
    return false;
}

TEST_P(ExchangeTest, SendsTheLineAndPrintsTheAnswer) {
    const Exchange &exchange = GetParam();
    if (exchange.host == "localhost" && !hosts_file_names_localhost()) {
        GTEST_SKIP() << "/etc/hosts does not name localhost";
    }
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
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full < 0) {
        GTEST_SKIP() << "needs /dev/full, a device that is always full";
    }
    Server server("ok");
    const Outcome outcome =
        run_client(client_with({"127.0.0.1", server.port()}), "hi\n", {piped, full, piped});
    close(full);
    EXPECT_EQ(server.received(), "hi\n");
    EXPECT_EQ(outcome.err, "ERROR writing to standard output: No space left on device\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST(Client, ReportsUnreadableInputAndSendsNoPartOfAPiece) {
    // A directory fails at the first read. A non-blocking pipe fails once it
    // has given the bytes it holds, a line without its end: one byte short
    // of a whole piece, none of it may go; a whole piece goes before the
    // failure.
    const int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int short_of_a_piece[2] = {-1, -1};
    int a_piece[2] = {-1, -1};
    for (auto *ends : {&short_of_a_piece, &a_piece}) {
        make_pipe(*ends);
        fcntl((*ends)[0], F_SETFL, O_NONBLOCK);
    }
    const std::string unended(65536, 'x');
    ASSERT_EQ(write(short_of_a_piece[1], unended.data(), 65535), 65535);
    ASSERT_EQ(write(a_piece[1], unended.data(), 65536), 65536);
    const std::string unavailable =
        "ERROR reading from standard input: Resource temporarily unavailable\n";
    const struct {
        int input;
        int err;
        std::string report;
        std::string sent;
    } cases[] = {
        {directory, piped, "ERROR reading from standard input: Is a directory\n", ""},
        // The report must not travel to the server in place of closed standard error.
        {directory, closed, "", ""},
        {short_of_a_piece[0], piped, unavailable, ""},
        {a_piece[0], piped, unavailable, unended},
    };
    for (const auto &[input, err, report, sent] : cases) {
        SCOPED_TRACE(report + std::to_string(sent.size()));
        Server server("ok");
        const Outcome outcome =
            run_client(client_with({"127.0.0.1", server.port()}), "", {input, piped, err});
        EXPECT_EQ(server.received(), sent);
        EXPECT_EQ(outcome.out, prompt);
        EXPECT_EQ(outcome.err, report);
        EXPECT_EQ(outcome.status, 1);
    }
    for (const int descriptor :
         {directory, short_of_a_piece[0], short_of_a_piece[1], a_piece[0], a_piece[1]}) {
        close(descriptor);
    }
}

// Once a line reaches a whole piece, a pipe on standard input is asked to
// grow, where the system lets pipes grow and the client uses that extra.
TEST(Client, GrowsThePipeOfALongLine) {
#if defined(F_SETPIPE_SZ) && defined(CLIENT_HAS_SYSTEM_EXTRAS)
    int scratch[2];
    make_pipe(scratch);
    const bool can_grow = fcntl(scratch[0], F_SETPIPE_SZ, 1 << 20) >= 0;
    close(scratch[0]);
    close(scratch[1]);
    if (!can_grow) {
        GTEST_SKIP() << "needs a pipe that may grow to 1 MiB";
    }
    // A pipe that holds one piece exactly, the line without its end.
    int input[2];
    make_pipe(input);
    ASSERT_EQ(fcntl(input[0], F_SETPIPE_SZ, 1 << 16), 1 << 16);
    const std::string piece(1 << 16, 'x');
    ASSERT_EQ(write(input[1], piece.data(), piece.size()), 1 << 16);
    close(input[1]);
    Server server("ok");
    const Outcome outcome =
        run_client(client_with({"127.0.0.1", server.port()}), "", {input[0], piped, piped});
    EXPECT_EQ(server.received(), piece);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(fcntl(input[0], F_GETPIPE_SZ), 1 << 20);
    close(input[0]);
#else
    GTEST_SKIP() << "the client under test grows no pipe";
#endif
}

// Standard streams that the caller left closed: each fails as a closed stream
// does, and the socket never takes its place.
TEST(Client, FailsOnClosedStandardStreamsAsOnClosedOnes) {
    const std::string closed_input = "ERROR reading from standard input: Bad file descriptor\n";
    const std::string closed_output = "ERROR writing to standard output: Bad file descriptor\n";
    const struct {
        const char *which;
        Streams streams;
        int status;
        std::string sent;
        std::string printed;
        std::string report;
    } cases[] = {
        {"input", {closed, piped, piped}, 1, "", prompt, closed_input},
        {"output", {piped, closed, piped}, 1, "hi\n", "", closed_output},
        {"input and output", {closed, closed, piped}, 1, "", "", closed_input},
        {"error", {piped, piped, closed}, 0, "hi\n", prompt + "ok\n", ""},
    };
    for (const auto &[which, streams, status, sent, printed, report] : cases) {
        SCOPED_TRACE(which);
        Server server("ok");
        const Outcome outcome =
            run_client(client_with({"127.0.0.1", server.port()}), "hi\n", streams);
        EXPECT_EQ(server.received(), sent);
        EXPECT_EQ(outcome.out, printed);
        EXPECT_EQ(outcome.err, report);
        EXPECT_EQ(outcome.status, status);
        EXPECT_EQ(outcome.signal, 0);
    }
}

// The number of the client's own call to lower its limit among all of its
// prlimit64 calls, the C library's and the sanitizers' included; 0 where
// strace cannot tell.
std::size_t limit_call_number() {
    Server server("ok");
    std::istringstream calls(
        run_client({"strace", "-qq", "-e", "trace=prlimit64", "-e", "signal=none", "-E",
                    "ASAN_OPTIONS=detect_leaks=0", CLIENT_PATH, "127.0.0.1", server.port()},
                   "hi\n", all_piped, "strace")
            .err);
    std::string line;
    for (std::size_t number = 1; std::getline(calls, line); ++number) {
        if (line.find("RLIMIT_NOFILE, {") != std::string::npos) {
            return number;
        }
    }
    return 0;
}

// Failures that the surroundings seldom produce, made by strace failing one
// system call: each must be reported with its own reason, and never by a
// death by signal.
TEST(Client, ReportsInjectedFailuresWithTheirOwnReason) {
    if (access("/usr/bin/strace", X_OK) != 0 ||
        run_client({"strace", "-o", "/dev/null", "true"}, "", all_piped, "strace").status != 0) {
        GTEST_SKIP() << "needs strace, allowed to trace";
    }
    // Behind a wrapper, an emulator say, strace would fail the calls of
    // another program than the client: the client must be the only one run.
    const std::string programs_run =
        run_client({"strace", "-qq", "-e", "trace=execve", "-e", "signal=none", CLIENT_PATH}, "",
                   all_piped, "strace")
            .err;
    if (programs_run.find("execve(") != programs_run.rfind("execve(")) {
        GTEST_SKIP() << "needs the client to run as itself, not through another program";
    }
    // LeakSanitizer, in the sanitizer build, cannot work under ptrace.
    const std::vector<std::string> strace = {"strace", "-qq", "-e", "signal=none", "-E",
                                             "ASAN_OPTIONS=detect_leaks=0"};
    const auto traced = [&strace](std::vector<std::string> options, const std::string &port) {
        auto argv = strace;
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {CLIENT_PATH, "127.0.0.1", port});
        return argv;
    };
    // The reads of standard input and of the answer come after the loader's:
    // their numbers among all reads are taken from a run without failures.
    std::size_t first_input_read = 0;
    std::size_t answer_read = 0;
    {
        Server server("ok");
        std::istringstream reads(
            run_client(traced({"-e", "trace=read"}, server.port()), "hi\n", all_piped, "strace")
                .err);
        std::string line;
        for (std::size_t count = 1; answer_read == 0 && std::getline(reads, line); ++count) {
            if (line.starts_with("read(0,")) {
                first_input_read = first_input_read == 0 ? count : first_input_read;
            } else if (first_input_read > 0 && line.starts_with("read(")) {
                answer_read = count;
            }
        }
        ASSERT_GT(answer_read, 0u) << "no read of the answer seen";
    }
    const auto interrupted_read = [](std::size_t number) {
        return std::vector<std::string>{
            "-e", "inject=read:error=EINTR:when=" + std::to_string(number)};
    };
    const std::string full = "ERROR writing to standard output: No space left on device\n";
    const struct {
        const char *what;
        std::vector<std::string> injections;
        Streams streams;
        int status;
        std::string sent;
        std::string report;
    } cases[] = {
        // Standard error closed, and nothing can be opened to hold its place:
        // the socket sits on descriptor 2 and must not get the report.
        {"no placeholder",
         {"-P", "/dev/null", "-e", "trace=?open,openat", "-e", "inject=?open,openat:error=EACCES"},
         {piped, piped, closed},
         1,
         "",
         ""},
        // The prompt fails, then a send is interrupted and retried. Each C
        // library writes with one of the two calls; glibc for i386 sends by
        // way of socketcall, which strace names send.
        {"prompt",
         {"-e", "inject=?write,writev:error=ENOSPC:when=1", "-e",
          "inject=sendto,?send:error=EINTR:when=1"},
         all_piped,
         1,
         "hi\n",
         full},
        // The prompt goes out; the answer's flush fails.
        {"answer",
         {"-e", "inject=?write,writev:error=ENOSPC:when=2"},
         all_piped,
         1,
         "hi\n",
         full},
        // A send that takes one byte without sending it: the rest must follow.
        {"short send",
         {"-e", "inject=sendto,?send:retval=1:when=1"},
         all_piped,
         0,
         "i\n",
         ""},
        {"interrupted input", interrupted_read(first_input_read), all_piped, 0, "hi\n", ""},
        {"interrupted answer", interrupted_read(answer_read), all_piped, 0, "hi\n", ""},
        // Without Landlock, or refused it, the client runs unconfined, silently.
        {"no Landlock",
         {"-e", "inject=landlock_create_ruleset:error=ENOSYS"},
         all_piped,
         0,
         "hi\n",
         ""},
        {"Landlock refused",
         {"-e", "inject=landlock_restrict_self:error=EPERM"},
         all_piped,
         0,
         "hi\n",
         ""},
        {"no ruleset",
         {"-e", "inject=landlock_create_ruleset:error=ENOMEM:when=2"},
         all_piped,
         0,
         "hi\n",
         ""},
        {"no seccomp", {"-e", "inject=seccomp:error=ENOSYS"}, all_piped, 0, "hi\n", ""},
        {"filter refused", {"-e", "inject=seccomp:error=EINVAL"}, all_piped, 0, "hi\n", ""},
        {"limit refused",
         {"-e", "inject=prlimit64:error=EPERM:when=" + std::to_string(limit_call_number())},
         all_piped,
         0,
         "hi\n",
         ""},
        {"failed answer",
         {"-e", "inject=read:error=ECONNRESET:when=" + std::to_string(answer_read)},
         all_piped,
         1,
         "hi\n",
         "ERROR reading from socket: Connection reset by peer\n"},
    };
    for (const auto &[what, injections, streams, status, sent, report] : cases) {
        SCOPED_TRACE(what);
        Server server("ok");
        auto argv = traced(injections, server.port());
        argv.insert(argv.begin() + 1, {"-o", "/dev/null"});
        const Outcome outcome = run_client(argv, "hi\n", streams, "strace");
        EXPECT_EQ(server.received(), sent);
        EXPECT_EQ(outcome.err, report);
        EXPECT_EQ(outcome.status, status);
        EXPECT_EQ(outcome.signal, 0);
    }
    // To a pipe the bytes go as they came, so the locale is never even read:
    // no output could show that it was. And where the kernel offers Landlock,
    // the client is confined: a feature test that quietly turned false in its
    // build would leave it unconfined, with nothing else to show for it.
    Server server("ok");
    const Outcome outcome =
        run_client(traced({"-E", "LC_ALL=C.UTF-8"}, server.port()), "hi\n", all_piped, "strace");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err.find("locale"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("LC_CTYPE"), std::string::npos) << outcome.err;
    const auto succeeded = [&outcome](const std::string &call) {
        const std::size_t made = outcome.err.find(call);
        return made != std::string::npos &&
               outcome.err.substr(made, outcome.err.find('\n', made) - made).ends_with(" = 0");
    };
    EXPECT_EQ(succeeded("landlock_restrict_self("), landlock_abi() > 0) << outcome.err;
    EXPECT_EQ(succeeded("seccomp("), filters_calls()) << outcome.err;
    // Once confined, the run needs nothing that it gave up: no call fails.
    const std::string limit = "RLIMIT_NOFILE, {rlim_cur=0, rlim_max=0}";
    ASSERT_TRUE(succeeded(limit)) << outcome.err;
    EXPECT_EQ(outcome.err.find(" = -1 ", outcome.err.find(limit)), std::string::npos)
        << outcome.err;
}

// At a terminal a stranger's answer is shown, never obeyed: every control
// character and every byte that is not text in the terminal's character set,
// which the locale names, leaves a visible mark instead. To a pipe it goes
// as it came, in every locale. Standard output decides, not standard input.
struct TerminalCase {
    const char *name;
    std::string locale;
    std::string answer;
    std::string shown;
};

void PrintTo(const TerminalCase &terminal_case, std::ostream *out) { *out << terminal_case.name; }

// The test's environment less the variables whose names start with one of
// dropped, and with added.
std::vector<std::string> environment_with(const std::vector<std::string_view> &dropped,
                                          const std::vector<std::string> &added) {
    std::vector<std::string> environment;
    for (char **variable = environ; *variable != nullptr; ++variable) {
        const std::string_view entry(*variable);
        if (std::none_of(dropped.begin(), dropped.end(),
                         [entry](std::string_view name) { return entry.starts_with(name); })) {
            environment.emplace_back(entry);
        }
    }
    environment.insert(environment.end(), added.begin(), added.end());
    return environment;
}

// The test's environment with one locale in force, whatever the test was
// given: LC_ALL set, LANG, LOCPATH and the other LC_ variables gone. Every
// locale but C is looked up first among those that the tests made.
std::vector<std::string> environment_with_locale(const std::string &locale) {
    std::vector<std::string> added = {"LC_ALL=" + locale};
    if (locale != "C") {
        added.emplace_back("LOCPATH=" TEST_LOCALES);
    }
    return environment_with({"LC_", "LANG=", "LOCPATH="}, added);
}

class TerminalTest : public testing::TestWithParam<TerminalCase> {};

TEST_P(TerminalTest, ShowsTheAnswerAsTextAtATerminalOnly) {
    const TerminalCase &terminal_case = GetParam();
    const std::string made = TEST_LOCALES "/" + terminal_case.locale + "/LC_CTYPE";
    if (terminal_case.locale != "C" && access(made.c_str(), R_OK) != 0) {
        GTEST_SKIP() << "needs the locale " << terminal_case.locale
                     << " made for the client under test (localedef, Debian's locales package)";
    }
    const auto environment = environment_with_locale(terminal_case.locale);
    int terminal = -1;
    const int user_end = open_terminal(terminal);
    for (const bool shown_on_terminal : {false, true}) {
        SCOPED_TRACE(shown_on_terminal ? "output a terminal" : "input a terminal");
        Server server(terminal_case.answer);
        if (!shown_on_terminal) {
            ASSERT_EQ(write(user_end, "hi\n", 3), 3);
        }
        const Outcome outcome = run_client(
            client_with({"127.0.0.1", server.port()}), "hi\n",
            shown_on_terminal ? Streams{piped, terminal, piped} : Streams{terminal, piped, piped},
            CLIENT_PATH, &environment);
        EXPECT_EQ(server.received(), "hi\n");
        EXPECT_EQ(outcome.out,
                  shown_on_terminal ? "" : prompt + terminal_case.answer.substr(0, 255) + "\n");
        EXPECT_EQ(outcome.status, 0);
    }
    close(terminal);
    std::string shown;
    // Ends with EIO once the client's end is closed and all is read.
    while (read_some(user_end, shown, Clock::now() + time_limit) > 0) {
    }
    close(user_end);
    EXPECT_EQ(shown, prompt + terminal_case.shown + "\n");
}

const std::string utf8_text =
    "+PONG\tnaïve Ωμέγα Привет 日本語 עברית 🙂\\path ^caret \u00a0\U0010ffff";
// Well-formed UTF-8 ("ĝ2;owned-titleĜě2JěH…"), whose bytes 9D, 9C and 9B an
// 8-bit terminal obeys as OSC, ST and CSI: a new title, a cleared screen.
const std::string eight_bit_attack =
    "\xc4\x9d"
    "2;owned-title\xc4\x9c\xc4\x9b"
    "2J\xc4\x9bH your files are safe";

std::string repeated(const std::string &text, std::size_t times) {
    std::string all;
    while (times-- > 0) {
        all += text;
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TerminalTest,
    testing::Values(
        TerminalCase{"TitleClearAndHome", "C.UTF-8",
                     "\x1b]2;owned\a\x1b[2J\x1b[Hyour files are safe",
                     "^[]2;owned^G^[[2J^[[Hyour files are safe"},
        TerminalCase{"LoneCarriageReturnNulAndDel", "C.UTF-8", "safe\rEVIL\b\0\x7f\r"s,
                     "safe^MEVIL^H^@^?\r"},
        // C1 raw and in UTF-8, U+00A0 (text), then an overlong slash, a
        // surrogate, a code point past U+10FFFF and a byte UTF-8 never has.
        TerminalCase{"C1AndMalformedUtf8", "C.UTF-8",
                     "\x9b"
                     "6n\xc2\x9b\xc2\xa0\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xfe",
                     "\\x9b6n\\xc2\\x9b\xc2\xa0\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xfe"},
        // The C library's decoder takes the old five-byte form, 0x200000; the
        // locale calls U+2028 a control.
        TerminalCase{"PastUnicodeAndLineSeparator", "C.UTF-8", "\xf8\x88\x80\x80\x80\xe2\x80\xa8",
                     "\\xf8\\x88\\x80\\x80\\x80\\xe2\\x80\\xa8"},
        // A character broken off: the letter after it is a character of its own.
        TerminalCase{"BrokenSequenceThenLetter", "C.UTF-8", "\xe2\x82z \xf0z", "\\xe2\\x82z \\xf0z"},
        // The one receive takes 255 bytes: the euro sign's last byte stays behind.
        TerminalCase{"Utf8CutAtTheBound", "C.UTF-8", std::string(253, 'a') + "\u20ac",
                     std::string(253, 'a') + "\\xe2\\x82"},
        TerminalCase{"CrlfLine", "C.UTF-8", "+PONG\r\n", "+PONG\r\n"},
        TerminalCase{"CarriageReturnBeforeCrlf", "C.UTF-8", "+OK\r\r\n", "+OK^M\r\n"},
        // Each side of each bound of caret notation.
        TerminalCase{"CaretBounds", "C.UTF-8", "\x1f \x7e\x7f\x80", "^_ ~^?\\x80"},
        TerminalCase{"Utf8Text", "C.UTF-8", utf8_text, utf8_text},
        TerminalCase{"EightBitAttackIsTextInUtf8", "C.UTF-8", eight_bit_attack, eight_bit_attack},
        TerminalCase{"EightBitAttackInC", "C", eight_bit_attack,
                     "\\xc4\\x9d2;owned-title\\xc4\\x9c\\xc4\\x9b2J\\xc4\\x9bH your files are safe"},
        TerminalCase{"Utf8TextInC", "C", "na\xc3\xafve \xce\xa9\xce\xbc",
                     "na\\xc3\\xafve \\xce\\xa9\\xce\\xbc"},
        // Every byte of the largest answer shown as four.
        TerminalCase{"LargestAnswerAllMasked", "C", std::string(300, '\xff'),
                     repeated("\\xff", 255)},
        TerminalCase{"EightBitAttackInLatin1", "en_US.ISO-8859-1", eight_bit_attack,
                     "\xc4\\x9d2;owned-title\xc4\\x9c\xc4\\x9b2J\xc4\\x9bH your files are safe"},
        TerminalCase{"Latin1Text", "en_US.ISO-8859-1", "na\xefve caf\xe9 \xa0\xbf\xff",
                     "na\xefve caf\xe9 \xa0\xbf\xff"},
        // KOI8-R calls 80 to BF box drawing; from 80 to 9F a terminal obeys them.
        TerminalCase{"OneByteC1InKoi8r", "ru_RU.KOI8-R",
                     "\x9b"
                     "2J\x80\x9f\xa0 \xf0\xd2\xc9\xd7\xc5\xd4",
                     "\\x9b2J\\x80\\x9f\xa0 \xf0\xd2\xc9\xd7\xc5\xd4"},
        // 81 30 83 39 is U+009D, masked whole between two characters, the
        // second with a trail byte from 80 to 9F.
        TerminalCase{"FourByteControlInGb18030", "zh_CN.GB18030",
                     "\xd6\xd0\x81\x30\x83\x39\xc2\x9b", "\xd6\xd0\\x81\\x30\\x83\\x39\xc2\x9b"},
        // Text, whatever its first byte: 81 40 is U+4E02.
        TerminalCase{"Gb18030TextLeadBytesTo9f", "zh_CN.GB18030", "\xd6\xd0\x81\x40\x95\x5a",
                     "\xd6\xd0\x81\x40\x95\x5a"},
        // Cut by the bound, the same control is bytes that start nothing.
        TerminalCase{"Gb18030CutAtTheBound", "zh_CN.GB18030",
                     std::string(252, 'a') + "\x81\x30\x83\x39",
                     std::string(252, 'a') + "\\x810\\x83"}),
    name_of_case);

// The prompt must be out before the client waits for its line, and the line
// must go at its newline with the input still open: on a terminal, and on
// pipes, where nothing but an explicit flush gets the prompt out.
TEST(Client, PromptsFirstAndSendsTheLineAtItsNewline) {
    for (const bool on_terminal : {true, false}) {
        SCOPED_TRACE(on_terminal ? "terminal" : "pipes");
        Server server("ok");
        int keyboard = -1;
        int screen = -1;
        int child_in = -1;
        int child_out = -1;
        if (on_terminal) {
            keyboard = screen = open_terminal(child_in);
            child_out = child_in;
        } else {
            int in[2];
            int out[2];
            make_pipe(in);
            make_pipe(out);
            child_in = in[0];
            keyboard = in[1];
            child_out = out[1];
            screen = out[0];
        }
        ASSERT_GE(child_in, 0);
        const auto deadline = Clock::now() + time_limit;
        const pid_t pid =
            spawn(client_with({"127.0.0.1", server.port()}), {child_in, child_out, child_out});
        close(child_in);
        if (child_out != child_in) {
            close(child_out);
        }
        std::string shown;
        while (shown.size() < prompt.size() && read_some(screen, shown, deadline) > 0) {
        }
        EXPECT_EQ(shown, prompt);
        ASSERT_EQ(write(keyboard, "hi\n", 3), 3);
        // Ends at end of file, or with EIO on a terminal that has no user left.
        while (read_some(screen, shown, deadline) > 0) {
        }
        Outcome outcome;
        reap(pid, outcome, deadline);
        close(keyboard);
        if (screen != keyboard) {
            close(screen);
        }
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(server.received(), "hi\n");
        EXPECT_NE(shown.find("ok"), std::string::npos) << shown;
    }
}

// What each attempt of the stand-in for an exploit needs, and so what refuses
// it once the client has confined itself: the first Landlock ABI that
// refuses it (0: none does), a new descriptor (the limit), the terminal's
// input (the filter), a right that only root has (a device), or the test's
// own user (a signal to the test).
struct Right {
    const char *attempt;
    long landlock_abi;
    bool makes_descriptor;
    bool types;
    bool root_only;
    bool signals_the_test;
};
constexpr Right rights[] = {
    {"read", 1, true, false, false, false},       {"list", 1, true, false, false, false},
    {"append", 1, true, false, false, false},     {"truncate", 3, false, false, false, false},
    {"delete", 1, false, false, false, false},    {"mkdir", 1, false, false, false, false},
    {"rmdir", 1, false, false, false, false},     {"regular", 1, false, false, false, false},
    {"fifo", 1, false, false, false, false},      {"socket", 1, false, false, false, false},
    {"device", 1, false, false, true, false},     {"block", 1, false, false, true, false},
    {"symlink", 1, false, false, false, false},   {"program", 1, false, false, false, false},
    {"tcp", 4, true, false, false, false},        {"bind", 4, true, false, false, false},
    {"abstract", 6, true, false, false, false},   {"unix", 0, true, false, false, false},
    {"udp", 0, true, false, false, false},        {"signal", 6, false, false, false, true},
    {"type", 0, false, true, false, false},       {"type-high", 0, false, true, false, false},
    {"type-int80", 0, false, true, false, false},
};

// How the stand-in's client runs: as the test's own user, as a normal user
// (setpriv), or with the limit's call failed (strace), where Landlock alone
// must refuse what makes a descriptor.
struct Confinement {
    const char *name;
    std::vector<std::string> wrapper;
    bool limit;
};

void PrintTo(const Confinement &confinement, std::ostream *out) { *out << confinement.name; }

class ConfinementTest : public testing::TestWithParam<Confinement> {};

// A UNIX stream socket listening at address, of length bytes.
int listening(const sockaddr_un &address, std::size_t length) {
    const int listener = cloexec(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&address),
                   static_cast<socklen_t>(length)),
              0);
    EXPECT_EQ(listen(listener, 1), 0);
    return listener;
}

// Once connected, before the answer comes, the client gives up all that an
// exploit of a flaw in reading the answer would want, as far as each layer
// goes here: Landlock by this kernel's ABI, the limit everywhere, the filter
// where seccomp is. A stand-in preloaded into the client tries each, with
// the terminal as its controlling one, and the test looks for what it could
// have done. The exchange takes place as ever.
TEST_P(ConfinementTest, RefusesTheStandInAtTheAnswer) {
    auto wrapper = GetParam().wrapper;
    const bool limit = GetParam().limit;
    const bool normal_user = !wrapper.empty() && wrapper[0] == "setpriv";
    // Asked as the client will run: without the test's own preload, which
    // fakeroot's is, the user is who it really is, and setpriv may not clear
    // the groups.
    const auto unloaded = environment_with({"LD_PRELOAD="}, {});
    const bool as_root =
        !normal_user && run_client({"id", "-u"}, "", all_piped, "id", &unloaded).out == "0\n";
    auto tried = wrapper;
    tried.emplace_back("true");
    if (normal_user && run_client(tried, "", all_piped, "setpriv", &unloaded).status != 0) {
        GTEST_SKIP() << "needs setpriv, allowed to run a program as a normal user (root)";
    }
    const std::size_t limit_call =
        limit || access("/usr/bin/strace", X_OK) != 0 ? 0 : limit_call_number();
    if (!limit && limit_call == 0) {
        GTEST_SKIP() << "needs strace, allowed to trace the client as itself";
    }
    // Copies that a normal user may run, in a folder open to all, beside
    // what the stand-in tries to change.
    std::string folder = testing::TempDir() + "client-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    const std::string client = folder + "/client";
    const std::string stand_in = folder + "/stand_in.so";
    std::filesystem::copy_file(CLIENT_PATH, client);
    std::filesystem::copy_file(STAND_IN_EXPLOIT, stand_in);
    for (const char *file : {"file", "victim"}) {
        std::ofstream(folder + "/" + file) << "kept\n";
        ASSERT_EQ(chmod((folder + "/" + file).c_str(), 0666), 0);
    }
    ASSERT_EQ(mkdir((folder + "/dir").c_str(), 0777), 0);
    // What the stand-in tries to reach: TCP and UDP at one port, a UNIX
    // socket by its path and an abstract one.
    in_port_t port = 0;
    const int tcp = bound_to_loopback(port);
    ASSERT_EQ(listen(tcp, 1), 0);
    const int udp = bound_to_loopback(port, SOCK_DGRAM);
    sockaddr_un by_path{};
    sockaddr_un abstract{};
    by_path.sun_family = abstract.sun_family = AF_UNIX;
    const std::string path = folder + "/socket";
    const std::string abstract_name = "client-test-" + std::to_string(port);
    std::memcpy(by_path.sun_path, path.data(), path.size());
    std::memcpy(abstract.sun_path + 1, abstract_name.data(), abstract_name.size());
    const int unix_sockets[] = {
        listening(by_path, sizeof by_path),
        listening(abstract, offsetof(sockaddr_un, sun_path) + abstract_name.size() + 1)};
    ASSERT_EQ(chmod(path.c_str(), 0777), 0);

    // The preload reaches the client only, never strace. AddressSanitizer's
    // runtime would otherwise refuse a library loaded ahead of it, and its
    // leak check cannot work under ptrace.
    const char *asan_options = std::getenv("ASAN_OPTIONS");
    const std::string asan = std::string("ASAN_OPTIONS=") +
                             (asan_options != nullptr ? asan_options : "") +
                             ":verify_asan_link_order=0" + (limit ? "" : ":detect_leaks=0");
    if (!limit) {
        wrapper.insert(wrapper.end(),
                       {"-e", "inject=prlimit64:error=EPERM:when=" + std::to_string(limit_call),
                        "-E", "LD_PRELOAD=" + stand_in, "-E", asan});
    }
    std::vector<std::string> added = {"STAND_IN_FOLDER=" + folder,
                                      "STAND_IN_PORT=" + std::to_string(port), asan};
    if (limit) {
        added.push_back("LD_PRELOAD=" + stand_in);
    }
    const auto environment = environment_with({"LD_PRELOAD=", "ASAN_OPTIONS=", "STAND_IN_"}, added);
    int terminal = -1;
    const int user_end = open_terminal(terminal);
    Server server("ok");
    auto argv = wrapper;
    argv.insert(argv.end(), {client, "127.0.0.1", server.port()});
    const Outcome outcome = run_client(argv, "hi\n", {piped, terminal, piped}, argv[0].c_str(),
                                       &environment, ptsname(user_end));
    int typed = 0;
    EXPECT_EQ(ioctl(terminal, FIONREAD, &typed), 0);
    std::string shown;
    while (read_some(user_end, shown, Clock::now() + 100ms) > 0) {
    }
    std::ifstream file(folder + "/file");
    const std::string kept((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    const bool deleted = access((folder + "/victim").c_str(), F_OK) != 0;
    char datagram = 0;
    const bool received = recv(udp, &datagram, 1, MSG_DONTWAIT) == 1;
    const auto connected = [](int listener) {
        pollfd waiting{listener, POLLIN, 0};
        return poll(&waiting, 1, 0) == 1;
    };
    const bool tcp_connected = connected(tcp);
    const bool unix_connected = connected(unix_sockets[0]);
    for (const int descriptor : {tcp, udp, unix_sockets[0], unix_sockets[1], terminal, user_end}) {
        close(descriptor);
    }
    std::filesystem::remove_all(folder);
    // An emulator takes no library built for this machine, and one run as a
    // normal user may not reach the client it emulates in a private folder.
    const std::size_t start = outcome.err.find("stand-in: ");
    if (start == std::string::npos) {
        ASSERT_EQ(outcome.signal, 0) << "the client died before the stand-in could report";
        GTEST_SKIP() << "needs a client that takes the preloaded library, not one built for "
                        "another machine; it said: "
                     << outcome.err << shown;
    }
    EXPECT_EQ(server.received(), "hi\n");
    EXPECT_EQ(shown, prompt + "ok\n");
    EXPECT_EQ(outcome.status, 0);
    const std::string line = outcome.err.substr(start, outcome.err.find('\n', start) - start);
    ASSERT_EQ(line.find("never fired"), std::string::npos) << line;
    std::map<std::string, std::string> results;
    std::istringstream words(line.substr(10));
    for (std::string attempt, result; words >> attempt >> result;) {
        results[attempt] = result.substr(0, result.find(','));
    }
    const long abi = landlock_abi();
    std::ifstream legacy_switch("/proc/sys/dev/tty/legacy_tiocsti");
    int legacy_typing = 1;
    legacy_switch >> legacy_typing;
    // A normal user may type only into its controlling terminal, and not even
    // there where the kernel's legacy switch is off.
    const auto refused = [&](const Right &right) {
        return (right.landlock_abi > 0 && abi >= right.landlock_abi) ||
               (right.makes_descriptor && limit) || (right.types && filters_calls()) ||
               (!as_root && (right.root_only || (right.types && legacy_typing == 0))) ||
               (normal_user && right.signals_the_test);
    };
    bool any_typed = false;
    for (const Right &right : rights) {
        const std::string &result = results[right.attempt];
        if (!(right.types && result == "-")) {  // "-": no such way into the terminal here
            EXPECT_EQ(result != "0", refused(right))
                << right.attempt << " in " << line << ", Landlock ABI " << abi;
            any_typed = any_typed || (right.types && !refused(right));
        }
    }
    // What it could have done, seen from outside.
    const auto refused_named = [&refused](std::string_view attempt) {
        return refused(
            *std::find_if(std::begin(rights), std::end(rights),
                          [attempt](const Right &right) { return right.attempt == attempt; }));
    };
    EXPECT_EQ(kept == "kept\n", refused_named("append") && refused_named("truncate")) << kept;
    EXPECT_EQ(deleted, !refused_named("delete"));
    EXPECT_EQ(received, !refused_named("udp"));
    EXPECT_EQ(tcp_connected, !refused_named("tcp"));
    EXPECT_EQ(unix_connected, !refused_named("unix"));
    EXPECT_EQ(typed > 0, any_typed);
}

INSTANTIATE_TEST_SUITE_P(
    Client, ConfinementTest,
    testing::Values(Confinement{"AsItself", {}, true},
                    Confinement{"AsANormalUser",
                                {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
                                true},
                    Confinement{"WithTheLimitFailed",
                                {"strace", "-qq", "-o", "/dev/null", "-e", "signal=none"},
                                false}),
    name_of_case);

}  // namespace
