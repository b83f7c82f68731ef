// Times whole processes that each do one exchange, interleaved round by round
// so that a slow spell of the machine hits every command alike.
//
//     exchange [--pipe] ROUNDS INPUT EXPECTED -- NAME COMMAND... [-- NAME COMMAND...]...
//
// Every run takes its standard input from INPUT, or with --pipe from a pipe
// that cat fills from INPUT (timed until both have ended); a first, untimed
// run of each command must print EXPECTED and exit 0. Prints a Markdown
// table: median wall time from spawn to exit, its ratio to the first command,
// and the median peak resident memory of a few runs under /usr/bin/time -f %M
// (its own figure: a child spawned from this larger process would inherit
// this process's high-water mark).

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

struct Command {
    std::string name;
    std::vector<char *> argv;
    std::vector<double> milliseconds;
};

// Where every run's standard input comes from: the file at path, or a pipe
// that cat fills from it.
struct Input {
    const char *path;
    bool piped;
};

// Starts cat copying input into a new pipe; returns the pipe's reading end.
int cat_into_pipe(const char *input, pid_t &cat) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    char *argv[] = {const_cast<char *>("cat"), const_cast<char *>(input), nullptr};
    if (posix_spawnp(&cat, "cat", &actions, nullptr, argv, environ) != 0) {
        cat = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    return ends[0];
}

// Runs argv once with standard input from input and returns its wall time in
// milliseconds, or -1 when it fails. With output, captures its standard output
// (small: it is read once the command has ended); otherwise discards it.
double run_once(const std::vector<char *> &argv, const Input &input, std::string *output) {
    const auto start = std::chrono::steady_clock::now();
    pid_t cat = -1;
    const int in =
        input.piped ? cat_into_pipe(input.path, cat) : open(input.path, O_RDONLY | O_CLOEXEC);
    int out[2] = {-1, -1};
    if (output != nullptr ? pipe2(out, O_CLOEXEC) != 0
                          : (out[1] = open("/dev/null", O_WRONLY | O_CLOEXEC)) < 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    int status = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    close(in);
    if (spawned == 0) {
        waitpid(pid, &status, 0);
    }
    // cat may be killed by SIGPIPE when the command reads no further: that is no failure.
    if (cat > 0) {
        waitpid(cat, nullptr, 0);
    }
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (output != nullptr) {
        char buffer[4096];
        ssize_t count = 0;
        while ((count = read(out[0], buffer, sizeof buffer)) > 0) {
            output->append(buffer, static_cast<std::size_t>(count));
        }
        close(out[0]);
    }
    const bool succeeded = spawned == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return succeeded ? elapsed.count() : -1;
}

template <class T>
T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median of a few runs' peak resident memory in KiB, or -1.
long resident_kib(const Command &command, const Input &input) {
    char report[] = "/tmp/exchange-rss-XXXXXX";
    const int descriptor = mkstemp(report);
    if (descriptor < 0) {
        return -1;
    }
    close(descriptor);
    std::vector<char *> argv = {const_cast<char *>("/usr/bin/time"), const_cast<char *>("-f"),
                                const_cast<char *>("%M"), const_cast<char *>("-o"), report};
    argv.insert(argv.end(), command.argv.begin(), command.argv.end());
    std::vector<long> peaks;
    for (int run = 0; run < 5 && run_once(argv, input, nullptr) >= 0; ++run) {
        char figure[32] = {};
        const int file = open(report, O_RDONLY | O_CLOEXEC);
        if (file >= 0 && read(file, figure, sizeof figure - 1) > 0) {
            peaks.push_back(std::strtol(figure, nullptr, 10));
        }
        close(file);
    }
    unlink(report);
    return peaks.empty() ? -1 : median(peaks);
}

}  // namespace

int main(int argc, char *argv[]) {
    const bool piped = argc > 1 && std::strcmp(argv[1], "--pipe") == 0;
    if (piped) {
        --argc;
        ++argv;
    }
    if (argc < 6 || std::strcmp(argv[4], "--") != 0) {
        (void)std::fprintf(stderr,
                           "usage: exchange [--pipe] ROUNDS INPUT EXPECTED -- NAME COMMAND... "
                           "[-- ...]\n");
        return 2;
    }
    const long rounds = std::strtol(argv[1], nullptr, 10);
    if (rounds < 1) {
        (void)std::fprintf(stderr, "exchange: ROUNDS must be a positive number\n");
        return 2;
    }
    const Input input = {argv[2], piped};
    const std::string expected = argv[3];
    std::vector<Command> commands;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0 && i + 2 < argc) {
            commands.push_back({argv[++i], {}, {}});
        } else {
            commands.back().argv.push_back(argv[i]);
        }
    }
    for (auto &command : commands) {
        command.argv.push_back(nullptr);
        std::string output;
        if (run_once(command.argv, input, &output) < 0 ||
            output.find(expected) == std::string::npos) {
            (void)std::fprintf(stderr, "exchange: %s did not answer \"%s\" (got \"%s\")\n",
                               command.name.c_str(), expected.c_str(), output.c_str());
            return 1;
        }
    }
    const long warm_up = std::max(10L, rounds / 10);
    for (long round = 0; round < warm_up + rounds; ++round) {
        // Each round starts with the next command, so none always runs first.
        for (std::size_t i = 0; i < commands.size(); ++i) {
            auto &command = commands[(static_cast<std::size_t>(round) + i) % commands.size()];
            const double milliseconds = run_once(command.argv, input, nullptr);
            if (milliseconds < 0) {
                (void)std::fprintf(stderr, "exchange: %s failed\n", command.name.c_str());
                return 1;
            }
            command.milliseconds.push_back(milliseconds);
        }
        if (round + 1 == warm_up) {
            for (auto &command : commands) {
                command.milliseconds.clear();
            }
        }
    }
    const double reference = median(commands.front().milliseconds);
    std::printf("| command | median wall time | vs %s | peak RSS |\n|---|---:|---:|---:|\n",
                commands.front().name.c_str());
    for (const auto &command : commands) {
        const double time = median(command.milliseconds);
        std::printf("| %s | %.3f ms | %.2f× | %ld KiB |\n", command.name.c_str(), time,
                    time / reference, resident_kib(command, input));
    }
    return 0;
}
