#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace dvr::test {

ChildProcess::ChildProcess(std::vector<std::string> arguments, Options options)
{
    int outPipe[2];
    int errPipe[2];
    int terminalSlave = -1;
    if (options.terminal) {
        if (openpty(&outPipe[0], &terminalSlave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        outPipe[1] = terminalSlave;
    } else if (pipe(outPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe(errPipe) != 0)
        throw std::runtime_error("pipe failed");

    // Built before the fork: the child of a test with several threads allocates nothing.
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        for (int fd = 3; fd < 1024; ++fd) {
            bool keep = false;
            for (int inherited : options.inheritedFds)
                keep = keep || inherited == fd;
            if (!keep)
                close(fd);
        }
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // The test keeps a terminal's slave end open: once every slave end is closed, output that the
    // child wrote just before it ended can be lost from the master side.
    if (options.terminal)
        terminalSlave_ = terminalSlave;
    else
        close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
}

ChildProcess::~ChildProcess()
{
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
    if (terminalSlave_ >= 0)
        close(terminalSlave_);
}

void ChildProcess::Signal(int signal) const
{
    kill(pid_, signal);
}

void ChildProcess::Pump(std::chrono::milliseconds timeout)
{
    PumpOutput(outFd_, errFd_, output_, errors_, timeout);
}

void PumpOutput(int& outFd, int& errFd, std::string& output, std::string& errors, std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0)
        return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? output : errors).append(buffer, static_cast<size_t>(n));
        } else {
            close(fds[i].fd); // end of output (a terminal reports EIO once the child is gone)
            (i == 0 ? outFd : errFd) = -1;
        }
    }
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (outFd_ < 0 && errFd_ < 0))
            return output_.find(text) != std::string::npos;
        Pump(std::min(left, std::chrono::milliseconds(100)));
    }
    return true;
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds timeout)
{
    constexpr auto RESEND = std::chrono::seconds(2);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Signal(signal);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= RESEND)
            return Wait(std::max(left, std::chrono::milliseconds(0)));
        int status = 0;
        for (auto until = std::chrono::steady_clock::now() + RESEND; std::chrono::steady_clock::now() < until;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return Wait(std::chrono::milliseconds(0));
            }
            Pump(std::chrono::milliseconds(20));
        }
    }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exited_) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            exited_ = true;
            return -1;
        }
        Pump(std::chrono::milliseconds(20));
    }
    if (terminalSlave_ >= 0) {
        // The terminal never reports its end while the slave is open: take what is there.
        char buffer[4096];
        for (pollfd fd{outFd_, POLLIN, 0}; poll(&fd, 1, 100) > 0;) {
            ssize_t n = read(outFd_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            output_.append(buffer, static_cast<size_t>(n));
        }
        close(terminalSlave_);
        terminalSlave_ = -1;
        close(outFd_);
        outFd_ = -1;
    }
    while (outFd_ >= 0 || errFd_ >= 0) // the rest of the output
        Pump(std::chrono::milliseconds(200));
    return status_;
}

int RunToEnd(const std::vector<std::string>& arguments, std::string* output, std::string* errors,
             std::chrono::milliseconds timeout)
{
    ChildProcess child(arguments, {});
    int status = child.Wait(timeout);
    if (output)
        *output = child.Output();
    if (errors)
        *errors = child.Errors();
    return status;
}

TemporaryDirectory::TemporaryDirectory()
{
    char pattern[] = "/tmp/dvrcore-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

void WriteFile(const std::string& path, const std::string& contents)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << contents;
}

NoLeakCheckInChildren::NoLeakCheckInChildren()
{
    const char* options = getenv("ASAN_OPTIONS");
    hadOptions_ = options != nullptr;
    saved_ = hadOptions_ ? options : "";
    setenv("ASAN_OPTIONS", (saved_ + ":detect_leaks=0").c_str(), 1);
}

NoLeakCheckInChildren::~NoLeakCheckInChildren()
{
    if (hadOptions_)
        setenv("ASAN_OPTIONS", saved_.c_str(), 1);
    else
        unsetenv("ASAN_OPTIONS");
}

} // namespace dvr::test
