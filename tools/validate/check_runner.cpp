#include "check_runner.h"

#include <dirent.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "symbols.h"

namespace dvr::validate {
namespace {

// The child's ends of the report and trace pipes; set once before the check runs.
int reportFd = -1;
int traceFd = -1;
// The plugin's path as the harness opens it, to find its frames in a crashed stack; set once.
const char* pluginFile = nullptr;

// Pages marked by GuardPage; written by the check's thread before the step that may touch them,
// read by the crash handler on the same thread.
constexpr size_t MAX_GUARD_PAGES = 8;
struct GuardedRange {
    uintptr_t begin;
    uintptr_t end;
};
GuardedRange guardPages[MAX_GUARD_PAGES];
std::atomic<size_t> guardPageCount{0};

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

// The calling thread's name (the harness names its threads for the core's roles). Signal handlers.
void ThreadName(char* name, size_t size)
{
    name[0] = '\0';
    int fd = open("/proc/thread-self/comm", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t got = read(fd, name, size - 1);
    close(fd);
    name[got > 0 ? got : 0] = '\0';
    if (char* newline = strchr(name, '\n'))
        *newline = '\0';
}

// Writes "--- thread N (NAME, M ms of CPU)<note>" and the calling thread's stack to the trace
// pipe: the CPU time tells a thread that waits from one that computes. Signal handlers.
void DumpOwnStack(const char* note)
{
    void* frames[64];
    char header[160];
    char name[32];
    while (traceBusy.test_and_set(std::memory_order_acquire))
        sched_yield();
    ThreadName(name, sizeof name);
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    snprintf(header, sizeof header, "--- thread %ld (%s, %lld ms of CPU)%s\n", ThreadID(), name,
             static_cast<long long>(cpu.tv_sec) * 1000 + cpu.tv_nsec / 1000000, note);
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

// Writes "P file\x1fsymbol+0xN\x1f0xOFFSET" for address when it lies in the plugin (the offset into
// the file, for addr2line); false elsewhere. Signal handlers (dladdr takes no lock of its own here).
bool ReportPluginAddress(uintptr_t address)
{
    Dl_info where{};
    // The address comes from a register or a return address: a number, which dladdr takes as a pointer.
    void* pointer = reinterpret_cast<void*>(address); // NOLINT(performance-no-int-to-ptr)
    if (dladdr(pointer, &where) == 0 || where.dli_fname == nullptr || pluginFile == nullptr ||
        strcmp(where.dli_fname, pluginFile) != 0)
        return false;
    auto offset = address - reinterpret_cast<uintptr_t>(where.dli_fbase);
    char line[512];
    if (where.dli_sname != nullptr)
        snprintf(line, sizeof line,
                 "P %s\x1f"
                 "%s+0x%lx\x1f"
                 "0x%lx\n",
                 where.dli_fname, where.dli_sname,
                 static_cast<unsigned long>(address - reinterpret_cast<uintptr_t>(where.dli_saddr)),
                 static_cast<unsigned long>(offset));
    else
        snprintf(line, sizeof line,
                 "P %s\x1f\x1f"
                 "0x%lx\n",
                 where.dli_fname, static_cast<unsigned long>(offset));
    WriteText(reportFd, line);
    return true;
}

// The instruction that faulted, from the signal's context; 0 where this target is not known.
uintptr_t FaultingInstruction(void* context)
{
    const auto* machine = &static_cast<const ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
    return static_cast<uintptr_t>(machine->gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(machine->gregs[REG_EIP]);
#elif defined(__arm__)
    return static_cast<uintptr_t>(machine->arm_pc);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(machine->pc);
#else
    (void)machine;
    return 0;
#endif
}

// The crashed frame inside the plugin: the faulting instruction when it is the plugin's, else the
// first frame of the stack that is (where the target's backtrace crosses the signal frame).
void ReportPluginFrame(void* context)
{
    if (uintptr_t pc = FaultingInstruction(context); pc != 0 && ReportPluginAddress(pc))
        return;
    void* frames[64];
    int count = backtrace(frames, 64);
    for (int i = 0; i < count; ++i) {
        // A return address points after its call: one byte back lies inside the calling line.
        if (ReportPluginAddress(reinterpret_cast<uintptr_t>(frames[i]) - (i > 2 ? 1 : 0)))
            return;
    }
}

void OnCrash(int signal, siginfo_t* info, void* context)
{
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    bool guard = false;
    for (size_t i = 0; i < guardPageCount.load() && i < MAX_GUARD_PAGES; ++i)
        guard = guard || (signal == SIGSEGV && address >= guardPages[i].begin && address < guardPages[i].end);
    char line[64];
    snprintf(line, sizeof line, "C %d %lx %d\n", signal, static_cast<unsigned long>(address), guard ? 1 : 0);
    WriteText(reportFd, line);
    ReportPluginFrame(context);
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
    // The plugin's own output must not mix with the report (or the JSON) on standard output.
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    // Loads the unwinder now: backtrace() in a signal handler must not be its first call.
    void* frame[1];
    backtrace(frame, 1);
    InstallHandler(DUMP_REQUEST, OnDumpRequest, SA_RESTART);
    InstallHandler(DUMP_THREAD, OnDumpThread, SA_RESTART);
    pluginFile = pluginPath.c_str();
    for (int signal : CRASH_SIGNALS) {
        struct sigaction action {};
        action.sa_sigaction = OnCrash;
        action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
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
    std::string guardMessage;
    uintptr_t crashAddress = 0;
    bool guardTouched = false;
    std::string pluginFrameFile; // the plugin's frame in a crashed stack, when there is one
    std::string pluginFrameSymbol;
    std::string pluginFrameOffset;
    std::string reportBuffer;
    std::string traceBuffer;
    std::vector<std::string> trace;
    std::vector<Finding> findings;
    int crashSignal = 0;
    bool finished = false;
    bool traceEnded = false;
    std::chrono::steady_clock::time_point stepStart = std::chrono::steady_clock::now();
};

// The fields of text separated by \x1f.
std::vector<std::string> Fields(const std::string& text)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t end; (end = text.find('\x1f', start)) != std::string::npos; start = end + 1)
        fields.push_back(text.substr(start, end - start));
    fields.push_back(text.substr(start));
    return fields;
}

void TakeReportLine(const std::string& line, ChildState& state)
{
    if (line.size() >= 2 && line[0] == 'S') {
        std::vector<std::string> fields = Fields(line.substr(2));
        fields.resize(4);
        state.stepLabel = fields[0];
        state.hangMessage = fields[1];
        state.crashMessage = fields[2];
        state.guardMessage = fields[3];
        state.stepStart = std::chrono::steady_clock::now();
    } else if (line.size() >= 2 && line[0] == 'P') {
        std::vector<std::string> fields = Fields(line.substr(2));
        fields.resize(3);
        state.pluginFrameFile = fields[0];
        state.pluginFrameSymbol = fields[1];
        state.pluginFrameOffset = fields[2];
    } else if (line.size() >= 4 && line[0] == 'V') {
        Severity severity = line[2] == 'e' ? Severity::ERROR : line[2] == 'w' ? Severity::WARNING : Severity::INFO;
        std::vector<std::string> fields = Fields(line.substr(4));
        fields.resize(2);
        state.findings.push_back({severity, fields[0], {}, {}, fields[1]});
    } else if (line.size() >= 2 && line[0] == 'C') {
        char* rest = nullptr;
        state.crashSignal = static_cast<int>(strtol(line.c_str() + 2, &rest, 10));
        state.crashAddress = static_cast<uintptr_t>(strtoul(rest, &rest, 16));
        state.guardTouched = strtol(rest, nullptr, 10) != 0;
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

// What a step does, for naming a fault the same in every check: "Load" for every kind of Load.
std::string StepKind(const std::string& label)
{
    return label.rfind("Load", 0) == 0 ? "Load" : label;
}

// The harness thread that runs the plugin in a step (the harness names its threads by role).
const char* ThreadOfStep(const std::string& label)
{
    if (label == "Write" || label == "IOCTL_CONFIG")
        return "dvr-delivery";
    if (label == "IOCTL_PARENT")
        return "dvr-io";
    if (label.find("worker thread") != std::string::npos)
        return "dvr-worker";
    if (label.find("asynchronous read") != std::string::npos)
        return "dvr-async-read";
    if (label.find("reader threads") != std::string::npos)
        return "dvr-reader";
    if (label == "Load" || label == "Open" || label == "Close" || label == "Unload")
        return "dvr-main";
    return nullptr;
}

// What the thread of a hung step did, from its dump header "--- thread N (NAME, M ms of CPU)": a
// thread that used little CPU waits (a lock, a sleep, I/O, another thread); one that used most of
// the budget computes or spins.
std::string WhatTheThreadDid(const std::string& label, const std::vector<std::string>& trace,
                             std::chrono::milliseconds budget)
{
    const char* name = ThreadOfStep(label);
    if (name == nullptr)
        return "";
    for (const std::string& line : trace) {
        size_t at = line.find(std::string(" (") + name + ", ");
        if (line.rfind("--- thread ", 0) != 0 || at == std::string::npos)
            continue;
        long long cpuMs = atoll(line.c_str() + at + strlen(name) + 4);
        return "; its thread " + std::string(name) + " had used " + std::to_string(cpuMs) + " ms of CPU in all: " +
               (cpuMs * 2 < budget.count() ? "it waits (a lock, a sleep, I/O or another thread), see its stack"
                                           : "it computes or spins, see its stack");
    }
    return "";
}

// The finding of a check whose process a signal ended: where the plugin was, and whether the fault
// was a read past a record into the guard page after it.
Finding CrashFinding(const ChildState& state, int signal)
{
    std::string measured = SignalName(signal);
    if ((signal == SIGSEGV || signal == SIGBUS) && state.crashSignal != 0) {
        char address[32];
        snprintf(address, sizeof address, " at address 0x%lx", static_cast<unsigned long>(state.crashAddress));
        measured += address;
        if (state.guardTouched)
            measured += ", in the unreadable page right after the record";
    }
    measured += " during " + state.stepLabel;
    std::string cause = SignalName(signal);
    if (!state.pluginFrameFile.empty()) {
        std::string file = state.pluginFrameFile.substr(state.pluginFrameFile.rfind('/') + 1);
        std::string frame = state.pluginFrameSymbol.empty() ? file + "+" + state.pluginFrameOffset
                                                            : state.pluginFrameSymbol + " of " + file;
        measured += ", in the plugin's " + frame;
        std::string source = SourceLine(state.pluginFrameFile, state.pluginFrameOffset);
        if (!source.empty())
            measured += " (" + source + ")";
        cause += " in " + frame;
    } else {
        cause += " during " + StepKind(state.stepLabel);
    }
    std::string what;
    if (state.guardTouched && !state.guardMessage.empty())
        what = state.guardMessage;
    else if (!state.crashMessage.empty())
        what = state.crashMessage;
    else
        what = "the plugin crashed in " + state.stepLabel +
               ": an entry point must return an error, never end the "
               "process";
    return {Severity::ERROR, what + " (" + measured + ")", SymbolizeTrace(state.trace), state.stepLabel, cause};
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

void GuardPage(const void* page, size_t size)
{
    size_t index = guardPageCount.load();
    if (index >= MAX_GUARD_PAGES)
        return;
    guardPages[index] = {reinterpret_cast<uintptr_t>(page), reinterpret_cast<uintptr_t>(page) + size};
    guardPageCount.store(index + 1);
}

void CheckContext::Step(const std::string& label, const std::string& hangMessage, const std::string& crashMessage,
                        const std::string& guardMessage)
{
    std::string line = "S " + OneLine(label) + '\x1f' + OneLine(hangMessage) + '\x1f' + OneLine(crashMessage) + '\x1f' +
                       OneLine(guardMessage) + '\n';
    WriteAll(reportFd, line.data(), line.size());
}

void CheckContext::Report(Severity severity, const std::string& message, const std::string& cause)
{
    const char* tag = severity == Severity::ERROR ? "e" : severity == Severity::WARNING ? "w" : "i";
    std::string line = std::string("V ") + tag + ' ' + OneLine(message) + '\x1f' + OneLine(cause) + '\n';
    WriteAll(reportFd, line.data(), line.size());
}

std::vector<Finding> RunCheckInChild(CheckBody body, const std::string& pluginPath, const std::string& workDir,
                                     std::chrono::milliseconds budget)
{
    int reportPipe[2];
    int tracePipe[2];
    if (pipe2(reportPipe, O_CLOEXEC) != 0)
        return {{Severity::ERROR, std::string("cannot create a pipe: ") + strerror(errno), {}, {}, {}}};
    if (pipe2(tracePipe, O_CLOEXEC) != 0) {
        close(reportPipe[0]);
        close(reportPipe[1]);
        return {{Severity::ERROR, std::string("cannot create a pipe: ") + strerror(errno), {}, {}, {}}};
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
        return {{Severity::ERROR, std::string("cannot fork: ") + strerror(errno), {}, {}, {}}};
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
        std::vector<std::string> trace = SymbolizeTrace(state.trace);
        findings.push_back({Severity::ERROR,
                            state.hangMessage + " (" + state.stepLabel + ": no return within " +
                                std::to_string(budget.count()) + " ms by the wall clock" +
                                WhatTheThreadDid(state.stepLabel, trace, budget) + ")",
                            trace, state.stepLabel, "hang in " + state.stepLabel});
    } else if (WIFSIGNALED(status) || state.crashSignal != 0) {
        int signal = state.crashSignal != 0 ? state.crashSignal : WTERMSIG(status);
        findings.push_back(CrashFinding(state, signal));
    } else if (!state.finished) {
        // A sanitizer that ends the process inside a step reports the fault there: a crash of the step.
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::string ended = "the process ended with status " + std::to_string(code) + " during " + state.stepLabel;
        findings.push_back({Severity::ERROR,
                            state.crashMessage.empty()
                                ? ended + ": a plugin must never end the process (exit, abort); under a "
                                          "sanitizer, its report is above"
                                : state.crashMessage + " (" + ended + "; under a sanitizer, its report is above)",
                            {},
                            state.stepLabel,
                            "exit " + std::to_string(code) + " in " + StepKind(state.stepLabel)});
    }
    return findings;
}

} // namespace dvr::validate
