#include "check_runner.h"

#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace dvr::validate {
namespace {

// The child's ends of the report and trace pipes; set once before the check runs.
int reportFd = -1;
int traceFd = -1;

// A signal handler's stack dump of one thread at a time: the pipe is shared by every thread.
std::atomic_flag traceBusy = ATOMIC_FLAG_INIT;
std::atomic<int> threadsDumped{0};

constexpr int DUMP_REQUEST = SIGUSR1; // parent to child: dump every thread
constexpr int DUMP_THREAD = SIGUSR2;  // child to each of its threads: dump your own stack
constexpr int CRASH_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr const char* TRACE_END = "--- end";

void WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        length -= static_cast<size_t>(written);
    }
}

void WriteText(int fd, const char* text)
{
    WriteAll(fd, text, strlen(text));
}

long ThreadID()
{
    return syscall(SYS_gettid);
}

// Writes "--- thread N<note>" and the calling thread's stack to the trace pipe. Signal handlers.
void DumpOwnStack(const char* note)
{
    void* frames[64];
    char header[64];
    while (traceBusy.test_and_set(std::memory_order_acquire))
        sched_yield();
    snprintf(header, sizeof header, "--- thread %ld%s\n", ThreadID(), note);
    WriteText(traceFd, header);
    int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, traceFd);
    traceBusy.clear(std::memory_order_release);
}

void OnDumpThread(int)
{
    int saved = errno;
    DumpOwnStack("");
    threadsDumped.fetch_add(1);
    errno = saved;
}

// Signals every other thread of the process to dump its stack, dumps its own, waits a little for
// the others and writes the end marker.
void OnDumpRequest(int)
{
    int saved = errno;
    int signalled = 0;
    int dir = open("/proc/self/task", O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        alignas(8) char buffer[4096];
        long read;
        while ((read = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
            for (long offset = 0; offset < read;) {
                // The layout of struct linux_dirent64: d_ino, d_off, d_reclen, d_type, d_name.
                unsigned short recordLength;
                memcpy(&recordLength, buffer + offset + 16, sizeof recordLength);
                const char* name = buffer + offset + 19;
                long tid = strtol(name, nullptr, 10);
                if (tid > 0 && tid != ThreadID() && syscall(SYS_tgkill, getpid(), tid, DUMP_THREAD) == 0)
                    ++signalled;
                offset += recordLength;
            }
        }
        close(dir);
    }
    DumpOwnStack(" (received the dump request)");
    for (int wait = 0; wait < 1000 && threadsDumped.load() < signalled; ++wait) {
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    WriteText(traceFd, TRACE_END);
    WriteText(traceFd, "\n");
    errno = saved;
}

void OnCrash(int signal)
{
    char line[32];
    snprintf(line, sizeof line, "C %d\n", signal);
    WriteText(reportFd, line);
    DumpOwnStack(" (crashed)");
    // SA_RESETHAND restored the default action: raising again ends the process with the signal.
    raise(signal);
}

void InstallHandler(int signal, void (*handler)(int), int flags)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// Replaces characters that would break the line protocol.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\x1f')
            c = ' ';
    return text;
}

[[noreturn]] void RunChild(CheckBody body, const std::string& pluginPath, const std::string& workDir,
                           std::chrono::milliseconds budget)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Loads the unwinder now: backtrace() in a signal handler must not be its first call.
    void* frame[1];
    backtrace(frame, 1);
    InstallHandler(DUMP_REQUEST, OnDumpRequest, SA_RESTART);
    InstallHandler(DUMP_THREAD, OnDumpThread, SA_RESTART);
    for (int signal : CRASH_SIGNALS)
        InstallHandler(signal, OnCrash, SA_RESETHAND | SA_NODEFER);
    if (chdir(workDir.c_str()) != 0)
        WriteText(reportFd, "V w the scratch working folder could not be entered; the plugin runs in the caller's\n");
    CheckContext context(budget);
    body(pluginPath, context);
    WriteText(reportFd, "F\n");
    // Ends without destructors or exit handlers: the plugin's objects may still be mapped and in use.
    _exit(0);
}

std::string SignalName(int signal)
{
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

// The parent's view of one running child.
struct ChildState {
    std::string stepLabel = "starting the check";
    std::string hangMessage = "the check did not get going";
    std::string crashMessage;
    std::string reportBuffer;
    std::string traceBuffer;
    std::vector<std::string> trace;
    std::vector<Finding> findings;
    int crashSignal = 0;
    bool finished = false;
    bool traceEnded = false;
    std::chrono::steady_clock::time_point stepStart = std::chrono::steady_clock::now();
};

void TakeReportLine(const std::string& line, ChildState& state)
{
    if (line.size() >= 2 && line[0] == 'S') {
        std::string rest = line.substr(2);
        size_t first = rest.find('\x1f');
        size_t second = first == std::string::npos ? std::string::npos : rest.find('\x1f', first + 1);
        state.stepLabel = rest.substr(0, first);
        state.hangMessage = first == std::string::npos ? "" : rest.substr(first + 1, second - first - 1);
        state.crashMessage = second == std::string::npos ? "" : rest.substr(second + 1);
        state.stepStart = std::chrono::steady_clock::now();
    } else if (line.size() >= 4 && line[0] == 'V') {
        Severity severity = line[2] == 'e' ? Severity::ERROR : line[2] == 'w' ? Severity::WARNING : Severity::INFO;
        state.findings.push_back({severity, line.substr(4), {}});
    } else if (line.size() >= 2 && line[0] == 'C') {
        state.crashSignal = atoi(line.c_str() + 2);
    } else if (line == "F") {
        state.finished = true;
    }
}

void TakeTraceLine(const std::string& line, ChildState& state)
{
    if (line == TRACE_END)
        state.traceEnded = true;
    else
        state.trace.push_back(line);
}

// Moves whole lines from buffer to take; false once the pipe is at its end.
template <typename Take>
bool Drain(int& fd, std::string& buffer, ChildState& state, Take take)
{
    char chunk[4096];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (got <= 0) {
        close(fd);
        fd = -1;
        return false;
    }
    buffer.append(chunk, static_cast<size_t>(got));
    size_t end;
    while ((end = buffer.find('\n')) != std::string::npos) {
        take(buffer.substr(0, end), state);
        buffer.erase(0, end + 1);
    }
    return true;
}

// Reads both pipes until the report pipe ends, the check says it finished, or the deadline passes;
// true when it ended or finished. A finished child may take a while to end (a sanitizer's exit
// waits for the threads the check left running): that is no step of the check.
bool Pump(int& reportRead, int& traceRead, ChildState& state, std::chrono::steady_clock::time_point deadline,
          bool untilTraceEnd)
{
    while (reportRead >= 0 || traceRead >= 0) {
        if ((untilTraceEnd && state.traceEnded) || state.finished)
            return true;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        struct pollfd fds[2] = {{reportRead, POLLIN, 0}, {traceRead, POLLIN, 0}};
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (poll(fds, 2, static_cast<int>(wait)) < 0 && errno != EINTR)
            return false;
        if (fds[0].revents != 0)
            Drain(reportRead, state.reportBuffer, state, TakeReportLine);
        if (fds[1].revents != 0)
            Drain(traceRead, state.traceBuffer, state, TakeTraceLine);
    }
    return true;
}

} // namespace

const char* SeverityName(Severity severity)
{
    switch (severity) {
    case Severity::ERROR: return "error";
    case Severity::WARNING: return "warning";
    case Severity::INFO: return "info";
    }
    return "error";
}

void CheckContext::Step(const std::string& label, const std::string& hangMessage, const std::string& crashMessage)
{
    std::string line = "S " + OneLine(label) + '\x1f' + OneLine(hangMessage) + '\x1f' + OneLine(crashMessage) + '\n';
    WriteAll(reportFd, line.data(), line.size());
}

void CheckContext::Report(Severity severity, const std::string& message)
{
    const char* tag = severity == Severity::ERROR ? "e" : severity == Severity::WARNING ? "w" : "i";
    std::string line = std::string("V ") + tag + ' ' + OneLine(message) + '\n';
    WriteAll(reportFd, line.data(), line.size());
}

std::vector<Finding> RunCheckInChild(CheckBody body, const std::string& pluginPath, const std::string& workDir,
                                     std::chrono::milliseconds budget)
{
    int reportPipe[2];
    int tracePipe[2];
    if (pipe2(reportPipe, O_CLOEXEC) != 0)
        return {{Severity::ERROR, std::string("cannot create a pipe: ") + strerror(errno), {}}};
    if (pipe2(tracePipe, O_CLOEXEC) != 0) {
        close(reportPipe[0]);
        close(reportPipe[1]);
        return {{Severity::ERROR, std::string("cannot create a pipe: ") + strerror(errno), {}}};
    }
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(reportPipe[0]);
        close(tracePipe[0]);
        reportFd = reportPipe[1];
        traceFd = tracePipe[1];
        RunChild(body, pluginPath, workDir, budget);
    }
    close(reportPipe[1]);
    close(tracePipe[1]);
    int reportRead = reportPipe[0];
    int traceRead = tracePipe[0];
    ChildState state;
    if (child < 0) {
        close(reportRead);
        close(traceRead);
        return {{Severity::ERROR, std::string("cannot fork: ") + strerror(errno), {}}};
    }

    // Each step message restarts the budget; a step that overruns it is a hang.
    bool hung = false;
    while (reportRead >= 0) {
        auto deadline = state.stepStart + budget;
        if (Pump(reportRead, traceRead, state, deadline, false))
            break;
        if (std::chrono::steady_clock::now() >= state.stepStart + budget) {
            hung = true;
            break;
        }
    }
    if (hung) {
        state.trace.clear();
        kill(child, DUMP_REQUEST);
        Pump(reportRead, traceRead, state, std::chrono::steady_clock::now() + std::chrono::seconds(3), true);
        kill(child, SIGKILL);
    } else {
        // The report pipe ended: collect what the crash handler wrote.
        Pump(reportRead, traceRead, state, std::chrono::steady_clock::now() + std::chrono::seconds(1), false);
    }
    if (reportRead >= 0)
        close(reportRead);
    if (traceRead >= 0)
        close(traceRead);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    std::vector<Finding> findings = std::move(state.findings);
    if (hung) {
        findings.push_back({Severity::ERROR,
                            state.hangMessage + " (" + state.stepLabel + ": no progress within " +
                                std::to_string(budget.count()) + " ms)",
                            std::move(state.trace)});
    } else if (WIFSIGNALED(status) || state.crashSignal != 0) {
        int signal = state.crashSignal != 0 ? state.crashSignal : WTERMSIG(status);
        std::string what = state.crashMessage.empty()
                               ? "the plugin crashed: an entry point must return an error, never end the process"
                               : state.crashMessage;
        findings.push_back({Severity::ERROR, what + " (" + SignalName(signal) + " during " + state.stepLabel + ")",
                            std::move(state.trace)});
    } else if (!state.finished) {
        // A sanitizer that ends the process inside a step reports the fault there: a crash of the step.
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::string ended = "the process ended with status " + std::to_string(code) + " during " + state.stepLabel;
        findings.push_back({Severity::ERROR,
                            state.crashMessage.empty()
                                ? ended + ": a plugin must never end the process (exit, abort); under a "
                                          "sanitizer, its report is above"
                                : state.crashMessage + " (" + ended + "; under a sanitizer, its report is above)",
                            {}});
    }
    return findings;
}

} // namespace dvr::validate
