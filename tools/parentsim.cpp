// parentsim: a stand-in for the supervisor. Creates the sequenced-packet socket pair, starts a core
// binary with its end, sends the start-up parameters, turns Ctrl-C and SIGTERM into a stop packet,
// sends packets read from standard input, prints every packet the core sends, and exits with the
// core's exit status.
//
//   parentsim [--name TEXT] [--version TEXT] [--background] [--no-parameters] CORE [ARGS...]
//
// Lines on standard input:
//   TARGET COMMAND [PAYLOAD]   a packet (numbers in decimal or 0x hexadecimal, payload as text)
//   stop                       an IPC_STOP packet
//   close                      closes the link, as a parent that died would
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "ipc/parent_protocol.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int signal)
{
    unsigned char number = static_cast<unsigned char>(signal);
    ssize_t ignored = write(signalPipe[1], &number, 1);
    (void)ignored;
}

struct Options {
    std::string name = "ovrimd";
    std::string version = "1.0.0";
    bool background = false;
    bool sendParameters = true;
    std::vector<std::string> core; // the core binary and its extra arguments
};

[[noreturn]] void Usage(const char* program)
{
    fprintf(stderr, "Usage: %s [--name TEXT] [--version TEXT] [--background] [--no-parameters] CORE [ARGS...]\n",
            program);
    exit(64);
}

Options ParseOptions(int argc, char* argv[])
{
    Options options;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string option = argv[i];
        if (option == "--name" && i + 1 < argc)
            options.name = argv[++i];
        else if (option == "--version" && i + 1 < argc)
            options.version = argv[++i];
        else if (option == "--background")
            options.background = true;
        else if (option == "--no-parameters")
            options.sendParameters = false;
        else
            Usage(argv[0]);
    }
    if (i >= argc)
        Usage(argv[0]);
    for (; i < argc; ++i)
        options.core.push_back(argv[i]);
    return options;
}

bool SendPacket(int socket, const std::vector<uint8_t>& packet)
{
    if (send(socket, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size()))
        return true;
    fprintf(stderr, "parentsim: send failed: %s\n", strerror(errno));
    return false;
}

// Prints one packet from the core whole (a status reply names every camera): its size and its
// bytes, '.' for any that is not printable.
void PrintPacket(const uint8_t* bytes, size_t length)
{
    std::string shown;
    shown.reserve(length);
    for (size_t i = 0; i < length; ++i)
        shown += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
    printf("parentsim: packet of %zu bytes from the core: %s\n", length, shown.c_str());
    fflush(stdout);
}

// Handles one line of standard input; false when the link should be closed.
bool HandleInputLine(int socket, const std::string& line)
{
    if (line == "stop") {
        SendPacket(socket, dvr::MakeParentPacket(0, IPC_STOP, nullptr, 0));
        return true;
    }
    if (line == "close")
        return false;
    std::istringstream words(line);
    std::string target;
    std::string command;
    if (!(words >> target >> command)) {
        fprintf(stderr, "parentsim: expected TARGET COMMAND [PAYLOAD], stop or close\n");
        return true;
    }
    std::string payload;
    std::getline(words >> std::ws, payload);
    SendPacket(socket, dvr::MakeParentPacket(static_cast<uint32_t>(strtoul(target.c_str(), nullptr, 0)),
                                             static_cast<uint32_t>(strtoul(command.c_str(), nullptr, 0)),
                                             payload.data(), payload.size()));
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    Options options = ParseOptions(argc, argv);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0 || pipe2(signalPipe, O_CLOEXEC) != 0) {
        perror("parentsim: socketpair");
        return 71;
    }
    pid_t core = fork();
    if (core == 0) {
        int link = dup(pair[1]); // without close-on-exec: the core inherits it
        std::vector<std::string> arguments = options.core;
        arguments.insert(arguments.begin() + 1, std::to_string(link));
        std::vector<char*> argvCore;
        argvCore.reserve(arguments.size() + 1);
        for (std::string& argument : arguments)
            argvCore.push_back(argument.data());
        argvCore.push_back(nullptr);
        execv(argvCore[0], argvCore.data());
        perror("parentsim: exec");
        _exit(127);
    }
    close(pair[1]);
    int socket = pair[0];

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (options.sendParameters) {
        std::string parameters = options.name + '\0' + options.version;
        if (options.background)
            parameters += std::string(1, '\0') + "Background:true";
        SendPacket(socket, dvr::MakeParentPacket(0, IPC_PARAMETERS, parameters.data(), parameters.size()));
    }

    std::string input;
    bool inputOpen = true;
    std::vector<uint8_t> buffer(1 << 17);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(core, &status, WNOHANG);
        if (done == core)
            break;
        pollfd fds[3] = {{socket, POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 3, 100) <= 0)
            continue;
        if (socket >= 0 && (fds[0].revents & (POLLIN | POLLHUP))) {
            ssize_t n = recv(socket, buffer.data(), buffer.size(), 0);
            if (n > 0) {
                PrintPacket(buffer.data(), static_cast<size_t>(n));
            } else {
                close(socket); // the core closed its end
                socket = -1;
            }
        }
        if (fds[1].revents & POLLIN) {
            unsigned char signal = 0;
            if (read(signalPipe[0], &signal, 1) == 1 && socket >= 0)
                SendPacket(socket, dvr::MakeParentPacket(0, IPC_STOP, nullptr, 0));
        }
        if (fds[2].revents & (POLLIN | POLLHUP)) {
            char chunk[4096];
            ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) {
                inputOpen = false;
                continue;
            }
            input.append(chunk, static_cast<size_t>(n));
            for (size_t end; (end = input.find('\n')) != std::string::npos;) {
                std::string line = input.substr(0, end);
                input.erase(0, end + 1);
                if (socket >= 0 && !HandleInputLine(socket, line)) {
                    close(socket);
                    socket = -1;
                }
            }
        }
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
