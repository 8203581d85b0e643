#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace dvr::test {

// A program run by a test: its standard output (optionally a terminal, since the core prints
// console lines only to one) and standard error are collected, and it is killed when the test
// forgets it or when it outlives its time-out.
class ChildProcess {
public:
    struct Options {
        std::string workingDirectory;  // empty: the test's own
        bool terminal = false;         // standard output on a pseudo-terminal
        std::vector<int> inheritedFds; // descriptors left open across exec
    };

    ChildProcess(std::vector<std::string> arguments, Options options);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t Pid() const { return pid_; }
    void Signal(int signal) const;

    // Reads output until it contains text or the time-out passes; true when found.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // Sends signal and waits for the exit, sending it again every 2 s until timeout: a sanitizer's
    // runtime may hold a signal back while the thread it landed on waits, and the core takes the
    // first signal only, so repeats change nothing else. Returns as Wait does.
    int Stop(int signal, std::chrono::milliseconds timeout);
    // Waits for the exit; returns the exit status, or -1 (and kills it) on time-out, or
    // 128 + the signal number when a signal ended it.
    int Wait(std::chrono::milliseconds timeout);

    const std::string& Output() const { return output_; } // standard output so far
    const std::string& Errors() const { return errors_; } // standard error so far

private:
    // Reads what is available on both pipes, waiting at most timeout.
    void Pump(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int terminalSlave_ = -1; // kept open in terminal mode
    bool exited_ = false;
    int status_ = -1;
    std::string output_;
    std::string errors_;
};

// Reads what is available on a child's standard output and error, waiting at most timeout, and
// closes (setting to -1) a descriptor that reached its end.
void PumpOutput(int& outFd, int& errFd, std::string& output, std::string& errors, std::chrono::milliseconds timeout);

// Runs a program to its end and returns the exit status; output and errors are filled.
int RunToEnd(const std::vector<std::string>& arguments, std::string* output, std::string* errors,
             std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    ~TemporaryDirectory();
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

// Child processes started while one lives run without the leak sanitizer's check: for a test
// whose plugin keeps blocks forever on purpose, which the core lists and leaves allocated.
class NoLeakCheckInChildren {
public:
    NoLeakCheckInChildren();
    ~NoLeakCheckInChildren();
    NoLeakCheckInChildren(const NoLeakCheckInChildren&) = delete;
    NoLeakCheckInChildren& operator=(const NoLeakCheckInChildren&) = delete;

private:
    bool hadOptions_;   // whether ASAN_OPTIONS was set before
    std::string saved_; // its value then
};

} // namespace dvr::test
