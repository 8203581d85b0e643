// The privilege drop as the running core shows it in /proc: the user, groups and capabilities each
// of its threads ends up with, depending on the user the core was started as and its parent's user.
// Changing users needs root; each test skips with its reason when the machine does not allow it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "support/child_process.h"
#include "support/core_installation.h"

namespace {

using dvr::test::CoreInstallation;
using namespace std::chrono_literals;

// Generous upper bounds: the suite also runs under a sanitizer. A normal run takes well under 1 s.
constexpr auto PROCESS_TIMEOUT = 20s;

constexpr uint64_t NET_CAPABILITIES = 0x3000;      // CAP_NET_ADMIN, CAP_NET_RAW
constexpr uint64_t STARTUP_CAPABILITIES = 0x23000; // and CAP_SYS_RAWIO
const std::string START_LINE = "successfully started core version 22.06.4.0";

// A user to run a process as.
struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups, the primary group among them
};

std::optional<Account> LookUpAccount(const char* name)
{
    const passwd* entry = getpwnam(name);
    if (entry == nullptr)
        return std::nullopt;
    Account account{entry->pw_uid, entry->pw_gid, {}};
    const std::string userName = entry->pw_name;
    int count = 64;
    account.groups.resize(static_cast<size_t>(count));
    while (getgrouplist(userName.c_str(), account.gid, account.groups.data(), &count) == -1)
        account.groups.resize(static_cast<size_t>(count));
    account.groups.resize(static_cast<size_t>(count));
    return account;
}

// A user ID without a password entry, with a group of the same number and no other group.
std::optional<Account> UnknownAccount()
{
    for (uid_t uid = 54321; uid < 54421; ++uid) {
        if (getpwuid(uid) == nullptr)
            return Account{uid, static_cast<gid_t>(uid), {static_cast<gid_t>(uid)}};
    }
    return std::nullopt;
}

// The fields of a /proc status file by name, values with surrounding blanks removed.
std::map<std::string, std::string> ReadStatus(const std::string& path)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(dvr::test::ReadFile(path));
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        size_t begin = line.find_first_not_of(" \t", colon + 1);
        size_t end = line.find_last_not_of(" \t");
        fields[line.substr(0, colon)] = begin == std::string::npos ? "" : line.substr(begin, end + 1 - begin);
    }
    return fields;
}

std::vector<unsigned long> Numbers(const std::string& text)
{
    std::vector<unsigned long> numbers;
    std::istringstream words(text);
    for (unsigned long number = 0; words >> number;)
        numbers.push_back(number);
    return numbers;
}

uint64_t Hex(const std::string& text)
{
    return std::stoull(text, nullptr, 16);
}

struct ThreadCapabilities {
    pid_t tid = 0;
    uint64_t inheritable = 0;
    uint64_t permitted = 0;
    uint64_t effective = 0;
    uint64_t bounding = 0;
};

// The capability sets of every thread of a running process.
std::vector<ThreadCapabilities> ReadThreadCapabilities(pid_t pid)
{
    std::vector<ThreadCapabilities> threads;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        auto status = ReadStatus(task.path().string() + "/status");
        if (status.count("CapEff") == 0)
            continue; // the thread ended while the folder was read
        threads.push_back({std::stoi(task.path().filename().string()), Hex(status["CapInh"]), Hex(status["CapPrm"]),
                           Hex(status["CapEff"]), Hex(status["CapBnd"])});
    }
    return threads;
}

// The program the kernel runs as pid when that is not binary itself: the emulator that binfmt_misc
// starts for a core built for another processor (qemu-arm for the armhf build). Empty otherwise.
std::string EmulatorOf(pid_t pid, const std::string& binary)
{
    std::error_code error;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error || std::filesystem::equivalent(program, binary, error))
        return "";
    return program.string();
}

// Why the capability sets of the threads cannot all be checked under user-mode emulation.
std::string EmulatedThreadsReason(const std::string& emulator)
{
    return "the core runs under " + emulator +
           ", whose own thread starts before the core's code, keeps root's capabilities and cannot be told "
           "apart from the core's threads";
}

std::string Describe(const std::vector<ThreadCapabilities>& threads)
{
    std::ostringstream text;
    text << std::hex;
    for (const ThreadCapabilities& thread : threads)
        text << std::dec << thread.tid << std::hex << ": inh " << thread.inheritable << " prm " << thread.permitted
             << " eff " << thread.effective << "\n";
    return text.str();
}

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Lets an ordinary user run the installed core and write its files in the working folder.
void OpenToEveryone(const CoreInstallation& installation)
{
    chmod(installation.Path().c_str(), 0777);
    chmod((installation / "plugins").c_str(), 0755);
    chmod((installation / "protected-plugins").c_str(), 0755);
    chmod(installation.Binary().c_str(), 0755);
}

// How a process takes on an account.
enum class Switch {
    WHOLE,          // real, effective and saved IDs and the groups, for good
    REAL_USER_ONLY, // the real user ID only: effective and saved stay root
};

// Switches the calling process to account. Only system calls, as it runs between fork and exec.
// Returns 0 or the errno of the refusal.
int SwitchTo(const Account& account, Switch how = Switch::WHOLE)
{
    if (how == Switch::REAL_USER_ONLY)
        return setresuid(account.uid, 0, 0) == 0 ? 0 : errno;
    if (setgroups(account.groups.size(), account.groups.data()) != 0)
        return errno;
    if (setresgid(account.gid, account.gid, account.gid) != 0)
        return errno;
    if (setresuid(account.uid, account.uid, account.uid) != 0)
        return errno;
    return 0;
}

// The core C started by a middle process M, which is its parent: M forks C, takes parentAccount
// (when given) as its own user as parentSwitch says, and only then lets C exec the core, which
// therefore finds M's new user as its parent's. C takes coreAccount first when one is given and
// stays root otherwise. M waits for C and exits with C's exit status. The core's standard output is
// a terminal.
class CoreUnderParent {
public:
    CoreUnderParent(const CoreInstallation& installation, const std::optional<Account>& parentAccount,
                    const std::optional<Account>& coreAccount, Switch parentSwitch = Switch::WHOLE);
    CoreUnderParent(const CoreUnderParent&) = delete;
    CoreUnderParent& operator=(const CoreUnderParent&) = delete;
    ~CoreUnderParent();

    // Why the system refused a user change the test needs; empty when it allowed them.
    const std::string& Refusal() const { return refusal_; }
    // Empty when the core was exec'd; otherwise why it could not be started.
    const std::string& Failure() const { return failure_; }
    pid_t CorePid() const { return corePid_; }
    void Signal(int signal) const
    {
        if (corePid_ > 0) // never -1, which would reach every process
            kill(corePid_, signal);
    }
    // Reads console output until it contains text or the time-out passes; true when found.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // Waits for M's exit and returns its status (the core's); -1 when the time-out passed and both
    // processes were killed.
    int Wait(std::chrono::milliseconds timeout);
    const std::string& Output() const { return output_; }
    const std::string& Errors() const { return errors_; }

private:
    // What M and C tell the test before the core runs; C's exec closes the channel.
    struct Report {
        enum Step : int {
            PARENT_READY,
            FORK_FAILED,
            PARENT_SWITCH_FAILED,
            CHDIR_FAILED,
            CORE_SWITCH_FAILED,
            EXEC_FAILED,
        } step;
        int error;
        pid_t corePid;
    };

    [[noreturn]] static void RunMiddle(const char* binary, const char* folder,
                                       const std::optional<Account>& parentAccount, Switch parentSwitch,
                                       const std::optional<Account>& coreAccount, int terminal, int errors, int report);
    [[noreturn]] static void RunCore(const char* binary, const char* folder, const std::optional<Account>& coreAccount,
                                     int terminal, int errors, int report, int go);
    static void CloseAllBut(std::initializer_list<int> kept);
    enum { REPORT_READ, REPORT_CLOSED, REPORT_TIMEOUT };
    // Reads one report within timeout.
    int ReadReport(Report& report, std::chrono::milliseconds timeout);
    void Pump(std::chrono::milliseconds timeout);

    pid_t middlePid_ = -1;
    pid_t corePid_ = -1;
    bool middleReaped_ = false;
    int terminal_ = -1;      // master side of the core's standard output
    int terminalSlave_ = -1; // kept open so that the last lines are not lost when the core ends
    int errorOutput_ = -1;
    int report_ = -1;
    std::string refusal_;
    std::string failure_;
    std::string output_;
    std::string errors_;
};

CoreUnderParent::CoreUnderParent(const CoreInstallation& installation, const std::optional<Account>& parentAccount,
                                 const std::optional<Account>& coreAccount, Switch parentSwitch)
{
    int errorPipe[2];
    int reportPipe[2];
    if (openpty(&terminal_, &terminalSlave_, nullptr, nullptr, nullptr) != 0 || pipe2(errorPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("openpty or pipe failed");
    if (pipe2(reportPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const std::string binary = installation.Binary();
    const std::string folder = installation.Path();

    middlePid_ = fork();
    if (middlePid_ < 0)
        throw std::runtime_error("fork failed");
    if (middlePid_ == 0)
        RunMiddle(binary.c_str(), folder.c_str(), parentAccount, parentSwitch, coreAccount, terminalSlave_,
                  errorPipe[1], reportPipe[1]);
    close(errorPipe[1]);
    close(reportPipe[1]);
    errorOutput_ = errorPipe[0];
    report_ = reportPipe[0];

    Report report{};
    if (ReadReport(report, PROCESS_TIMEOUT) != REPORT_READ) {
        failure_ = "the core's parent sent no report";
        return;
    }
    corePid_ = report.corePid;
    if (report.step == Report::PARENT_READY) {
        // Anything after the parent's report comes from the core's process before its exec.
        int next = ReadReport(report, PROCESS_TIMEOUT);
        if (next == REPORT_CLOSED)
            return; // the exec closed the channel: the core runs
        if (next == REPORT_TIMEOUT) {
            failure_ = "the core's process neither exec'd nor reported";
            return;
        }
    }
    static const char* const steps[] = {"",
                                        "fork of the core's process",
                                        "user change of the parent",
                                        "change to the core's folder",
                                        "user change of the core's process",
                                        "exec of the core"};
    failure_ = std::string(steps[report.step]) + " failed: " + strerror(report.error);
    if (report.step == Report::PARENT_SWITCH_FAILED || report.step == Report::CORE_SWITCH_FAILED)
        refusal_ = failure_;
}

CoreUnderParent::~CoreUnderParent()
{
    if (!middleReaped_ && middlePid_ > 0) {
        if (corePid_ > 0)
            kill(corePid_, SIGKILL); // M reaps it and exits
        if (Wait(5s) == -1)
            ADD_FAILURE() << "the core's parent did not end after the core was killed";
    }
    for (int fd : {terminal_, terminalSlave_, errorOutput_, report_})
        if (fd >= 0)
            close(fd);
}

void CoreUnderParent::CloseAllBut(std::initializer_list<int> kept)
{
    for (int fd = 3; fd < 1024; ++fd) {
        bool keep = false;
        for (int k : kept)
            keep = keep || k == fd;
        if (!keep)
            close(fd);
    }
}

void CoreUnderParent::RunMiddle(const char* binary, const char* folder, const std::optional<Account>& parentAccount,
                                Switch parentSwitch, const std::optional<Account>& coreAccount, int terminal,
                                int errors, int report)
{
    int goPipe[2];
    Report message{Report::FORK_FAILED, 0, -1};
    if (pipe2(goPipe, O_CLOEXEC) != 0) {
        message.error = errno;
        (void)!write(report, &message, sizeof message);
        _exit(1);
    }
    pid_t core = fork();
    if (core == 0) {
        close(goPipe[1]);
        RunCore(binary, folder, coreAccount, terminal, errors, report, goPipe[0]);
    }
    if (core < 0) {
        message.error = errno;
        (void)!write(report, &message, sizeof message);
        _exit(1);
    }
    CloseAllBut({report, goPipe[1]});
    message = {Report::PARENT_READY, 0, core};
    if (parentAccount && (message.error = SwitchTo(*parentAccount, parentSwitch)) != 0)
        message.step = Report::PARENT_SWITCH_FAILED;
    (void)!write(report, &message, sizeof message);
    close(report);
    if (message.step == Report::PARENT_READY)
        (void)!write(goPipe[1], "g", 1);
    close(goPipe[1]); // without the go byte the core's process ends at once

    int status = 0;
    while (waitpid(core, &status, 0) == -1 && errno == EINTR) {
    }
    if (message.step != Report::PARENT_READY)
        _exit(1);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

void CoreUnderParent::RunCore(const char* binary, const char* folder, const std::optional<Account>& coreAccount,
                              int terminal, int errors, int report, int go)
{
    dup2(terminal, STDOUT_FILENO);
    dup2(errors, STDERR_FILENO);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    CloseAllBut({report, go});

    char byte = 0;
    ssize_t n = 0;
    while ((n = read(go, &byte, 1)) == -1 && errno == EINTR) {
    }
    if (n != 1)
        _exit(0); // the parent could not take its user; it has reported why
    close(go);

    Report message{Report::CHDIR_FAILED, 0, getpid()};
    if (chdir(folder) != 0) {
        message.error = errno;
        (void)!write(report, &message, sizeof message);
        _exit(1);
    }
    if (coreAccount && (message.error = SwitchTo(*coreAccount)) != 0) {
        message.step = Report::CORE_SWITCH_FAILED;
        (void)!write(report, &message, sizeof message);
        _exit(1);
    }
    char* const argv[] = {const_cast<char*>(binary), nullptr};
    execv(binary, argv);
    message = {Report::EXEC_FAILED, errno, getpid()};
    (void)!write(report, &message, sizeof message);
    _exit(1);
}

int CoreUnderParent::ReadReport(Report& report, std::chrono::milliseconds timeout)
{
    pollfd fd{report_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(timeout.count())) <= 0)
        return REPORT_TIMEOUT;
    // Reports are smaller than a pipe's atomic write, so one arrives whole or not at all.
    return read(report_, &report, sizeof report) == static_cast<ssize_t>(sizeof report) ? REPORT_READ : REPORT_CLOSED;
}

void CoreUnderParent::Pump(std::chrono::milliseconds timeout)
{
    dvr::test::PumpOutput(terminal_, errorOutput_, output_, errors_, timeout);
}

bool CoreUnderParent::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        Pump(20ms);
    return output_.find(text) != std::string::npos;
}

int CoreUnderParent::Wait(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (!middleReaped_) {
        if (waitpid(middlePid_, &status, WNOHANG) == middlePid_) {
            middleReaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            if (corePid_ > 0)
                kill(corePid_, SIGKILL);
            kill(middlePid_, SIGKILL);
            waitpid(middlePid_, nullptr, 0);
            middleReaped_ = true;
            return -1;
        }
        Pump(20ms);
    }
    // Both processes are gone: take the rest of the output. The terminal never reports its end
    // while the test holds the slave side, so it is read until it stays quiet.
    for (auto end = std::chrono::steady_clock::now() + 2s; (terminal_ >= 0 || errorOutput_ >= 0);) {
        size_t before = output_.size() + errors_.size();
        Pump(100ms);
        if (output_.size() + errors_.size() == before && (errorOutput_ < 0 || std::chrono::steady_clock::now() > end))
            break;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Every case starts processes under other users, which needs root.
class Privileges : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (getuid() != 0)
            GTEST_SKIP() << "the test must run as root to start the core under other users";
    }

    const std::optional<Account> nobody = LookUpAccount("nobody");
};

// The cases in which the core must not start.
class PrivilegesFailure : public Privileges {};

// A macro, because GTEST_SKIP must end the test itself.
#define SKIP_UNLESS_STARTED(core)                                                                                      \
    do {                                                                                                               \
        if (!(core).Refusal().empty())                                                                                 \
            GTEST_SKIP() << "this machine refuses the user change the test needs: " << (core).Refusal();               \
        ASSERT_EQ((core).Failure(), "");                                                                               \
    } while (false)

// Root started by root: nothing changes, the core keeps every capability root has.
TEST_F(Privileges, CoreAndParentBothRootKeepAllCapabilities)
{
    CoreInstallation installation;
    auto core = installation.Start();
    ASSERT_TRUE(core->WaitForOutput(START_LINE, PROCESS_TIMEOUT)) << core->Output() << core->Errors();

    auto status = ReadStatus("/proc/" + std::to_string(core->Pid()) + "/status");
    EXPECT_EQ(Numbers(status["Uid"]), std::vector<unsigned long>(4, 0));
    EXPECT_EQ(Numbers(status["Gid"]), std::vector<unsigned long>(4, 0));
    auto threads = ReadThreadCapabilities(core->Pid());
    EXPECT_GE(threads.size(), 2u) << "the I/O thread runs beside the main thread";
    for (const ThreadCapabilities& thread : threads) {
        // Root's permitted set after exec is the whole bounding set; it must stay untouched.
        EXPECT_EQ(thread.permitted, thread.bounding) << Describe(threads);
        EXPECT_EQ(thread.effective, thread.bounding) << Describe(threads);
        EXPECT_NE(thread.effective & ~STARTUP_CAPABILITIES, 0u) << Describe(threads);
    }
    EXPECT_EQ(core->Output().find("capset failed"), std::string::npos) << core->Output();

    core->Signal(SIGTERM);
    EXPECT_EQ(core->Wait(PROCESS_TIMEOUT), 0) << core->Output() << core->Errors();
}

// Root started by an ordinary user: the core becomes that user with the user's groups and keeps
// only the network capabilities, plus raw I/O on the threads started before the plugins opened.
TEST_F(Privileges, RootCoreTakesOverTheParentsUserAndGroups)
{
    if (!nobody)
        GTEST_SKIP() << "the user nobody is not in the password database";
    CoreInstallation installation;
    OpenToEveryone(installation);
    CoreUnderParent core(installation, nobody, std::nullopt);
    SKIP_UNLESS_STARTED(core);
    ASSERT_TRUE(core.WaitForOutput(START_LINE, PROCESS_TIMEOUT)) << core.Output() << core.Errors();

    auto status = ReadStatus("/proc/" + std::to_string(core.CorePid()) + "/status");
    EXPECT_EQ(Numbers(status["Uid"]), std::vector<unsigned long>(4, nobody->uid)) << status["Uid"];
    EXPECT_EQ(Numbers(status["Gid"]), std::vector<unsigned long>(4, nobody->gid)) << status["Gid"];
    auto groups = Numbers(status["Groups"]);
    EXPECT_EQ(std::set<unsigned long>(groups.begin(), groups.end()),
              std::set<unsigned long>(nobody->groups.begin(), nobody->groups.end()))
        << status["Groups"];

    const std::string emulator = EmulatorOf(core.CorePid(), installation.Binary());
    if (!emulator.empty()) {
        EXPECT_EQ(Hex(status["CapEff"]), NET_CAPABILITIES) << "main thread";
        core.Signal(SIGTERM);
        EXPECT_EQ(core.Wait(PROCESS_TIMEOUT), 0) << core.Output() << core.Errors();
        GTEST_SKIP() << "capabilities of threads other than the main thread not checked: "
                     << EmulatedThreadsReason(emulator);
    }
    auto threads = ReadThreadCapabilities(core.CorePid());
    bool rawIoThread = false;
    for (const ThreadCapabilities& thread : threads) {
        EXPECT_EQ(thread.inheritable, 0u) << Describe(threads);
        EXPECT_EQ(thread.effective, thread.permitted) << Describe(threads);
        if (thread.tid == core.CorePid())
            EXPECT_EQ(thread.effective, NET_CAPABILITIES) << "main thread\n" << Describe(threads);
        else
            EXPECT_TRUE(thread.effective == NET_CAPABILITIES || thread.effective == STARTUP_CAPABILITIES)
                << Describe(threads);
        rawIoThread = rawIoThread || thread.effective == STARTUP_CAPABILITIES;
    }
    EXPECT_TRUE(rawIoThread) << "the I/O thread, started before the plugins opened, keeps raw I/O\n"
                             << Describe(threads);
    EXPECT_EQ(core.Output().find("capset failed"), std::string::npos) << core.Output();

    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(PROCESS_TIMEOUT), 0) << core.Output() << core.Errors();
}

// The parent's user is its real user: a parent that is still root in effect does not keep the core
// root.
TEST_F(Privileges, ParentsRealUserIsTakenOver)
{
    if (!nobody)
        GTEST_SKIP() << "the user nobody is not in the password database";
    CoreInstallation installation;
    OpenToEveryone(installation);
    CoreUnderParent core(installation, nobody, std::nullopt, Switch::REAL_USER_ONLY);
    SKIP_UNLESS_STARTED(core);
    ASSERT_TRUE(core.WaitForOutput(START_LINE, PROCESS_TIMEOUT)) << core.Output() << core.Errors();

    auto status = ReadStatus("/proc/" + std::to_string(core.CorePid()) + "/status");
    EXPECT_EQ(Numbers(status["Uid"]), std::vector<unsigned long>(4, nobody->uid)) << status["Uid"];
    EXPECT_EQ(Hex(status["CapEff"]), NET_CAPABILITIES);

    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(PROCESS_TIMEOUT), 0) << core.Output() << core.Errors();
}

// The user changes before any plugin code runs: a plugin's Load already runs as the parent's user.
TEST_F(Privileges, PluginsRunAsTheParentsUserFromLoadOn)
{
    if (!nobody)
        GTEST_SKIP() << "the user nobody is not in the password database";
    CoreInstallation installation;
    installation.AddPlugin(dvr::test::BuiltPlugin("plugin_fault.so"), "plugins", "who.so");
    dvr::test::WriteFile(installation / "who.conf", "id 0x00270000\n");
    OpenToEveryone(installation);
    CoreUnderParent core(installation, nobody, std::nullopt);
    SKIP_UNLESS_STARTED(core);
    ASSERT_TRUE(core.WaitForOutput(START_LINE, PROCESS_TIMEOUT)) << core.Output() << core.Errors();
    core.Signal(SIGTERM);
    ASSERT_EQ(core.Wait(PROCESS_TIMEOUT), 0) << core.Output() << core.Errors();
    EXPECT_NE(dvr::test::ReadFile(installation / "who.out").find("load_uid " + std::to_string(nobody->uid) + "\n"),
              std::string::npos)
        << dvr::test::ReadFile(installation / "who.out");
}

// Capabilities are per thread: a plugin's worker thread, started while the plugins load, keeps raw
// I/O; its asynchronous read thread, started after they are open, does not.
TEST_F(Privileges, ThreadsStartedAfterThePluginsOpenLoseRawIo)
{
    if (!nobody)
        GTEST_SKIP() << "the user nobody is not in the password database";
    CoreInstallation installation;
    installation.AddPlugin(dvr::test::BuiltPlugin("plugin_probe.so"), "plugins", "probe.so");
    dvr::test::WriteFile(installation / "probe.conf", "id 0x00100000\nworker 1\nreads 1\n");
    OpenToEveryone(installation);
    CoreUnderParent core(installation, nobody, std::nullopt);
    SKIP_UNLESS_STARTED(core);
    ASSERT_TRUE(core.WaitForOutput(START_LINE, PROCESS_TIMEOUT)) << core.Output() << core.Errors();
    // Main, the plugin's worker, the I/O thread and the plugin's read thread, all running until the
    // plugin is closed. They cannot be told apart by name: the main thread is known, the other three
    // are counted by their sets.
    auto threads = ReadThreadCapabilities(core.CorePid());
    std::multiset<uint64_t> others;
    for (const ThreadCapabilities& thread : threads) {
        EXPECT_EQ(thread.effective, thread.permitted) << Describe(threads);
        EXPECT_EQ(thread.inheritable, 0u) << Describe(threads);
        if (thread.tid == core.CorePid())
            EXPECT_EQ(thread.effective, NET_CAPABILITIES) << "main thread\n" << Describe(threads);
        else
            others.insert(thread.effective);
    }
    // A sanitizer's runtime may add a thread of its own, started as early as the process: so the
    // plugin's read thread must be the one thread without raw I/O, and at least the worker and
    // the I/O thread keep it.
    EXPECT_EQ(others.count(NET_CAPABILITIES), 1u) << Describe(threads);
    EXPECT_GE(others.count(STARTUP_CAPABILITIES), 2u) << Describe(threads);
    const std::string emulator = EmulatorOf(core.CorePid(), installation.Binary());
    if (emulator.empty()) {
        EXPECT_EQ(others.count(NET_CAPABILITIES) + others.count(STARTUP_CAPABILITIES), others.size())
            << Describe(threads);
    }

    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(PROCESS_TIMEOUT), 0) << core.Output() << core.Errors();
    if (!emulator.empty())
        GTEST_SKIP() << "not checked that no thread keeps more than raw I/O: " << EmulatedThreadsReason(emulator);
}

// An ordinary user started by the same user: no user change, and without capabilities to keep both
// capability changes are refused, which is logged and does not stop the core.
TEST_F(Privileges, OrdinaryUserUnderSameUserRunsWithRefusedCapabilityChange)
{
    if (!nobody)
        GTEST_SKIP() << "the user nobody is not in the password database";
    CoreInstallation installation;
    OpenToEveryone(installation);
    CoreUnderParent core(installation, nobody, nobody);
    SKIP_UNLESS_STARTED(core);
    ASSERT_TRUE(core.WaitForOutput(START_LINE, PROCESS_TIMEOUT)) << core.Output() << core.Errors();

    const std::string beforeStart = core.Output().substr(0, core.Output().find(START_LINE));
    // One refusal at start-up, one after the plugins are open.
    EXPECT_EQ(Occurrences(beforeStart, "capset failed: Operation not permitted"), 2u) << core.Output();
    auto status = ReadStatus("/proc/" + std::to_string(core.CorePid()) + "/status");
    EXPECT_EQ(Numbers(status["Uid"]), std::vector<unsigned long>(4, nobody->uid)) << status["Uid"];
    EXPECT_EQ(Hex(status["CapEff"]), 0u);

    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(PROCESS_TIMEOUT), 0) << core.Output() << core.Errors();
    EXPECT_NE(core.Output().find("stopping core version"), std::string::npos) << core.Output();
}

// A parent whose user has no password entry: the core cannot take it over and does not start.
TEST_F(PrivilegesFailure, ParentUserWithoutPasswordEntryFailsStartUp)
{
    auto unknown = UnknownAccount();
    if (!unknown)
        GTEST_SKIP() << "no free user ID found between 54321 and 54420";
    CoreInstallation installation;
    OpenToEveryone(installation);
    CoreUnderParent core(installation, unknown, std::nullopt);
    SKIP_UNLESS_STARTED(core);

    EXPECT_EQ(core.Wait(PROCESS_TIMEOUT), 2) << core.Output() << core.Errors();
    EXPECT_EQ(core.Errors(), "failed to initialize core\n");
    EXPECT_NE(core.Output().find("getpwuid failed: "), std::string::npos) << core.Output();
    EXPECT_EQ(core.Output().find(START_LINE), std::string::npos) << core.Output();
}

// An ordinary user started by root: becoming root is refused and the core does not start.
TEST_F(PrivilegesFailure, OrdinaryUserUnderRootParentFailsStartUp)
{
    if (!nobody)
        GTEST_SKIP() << "the user nobody is not in the password database";
    CoreInstallation installation;
    OpenToEveryone(installation);
    CoreUnderParent core(installation, std::nullopt, nobody);
    SKIP_UNLESS_STARTED(core);

    EXPECT_EQ(core.Wait(PROCESS_TIMEOUT), 2) << core.Output() << core.Errors();
    EXPECT_EQ(core.Errors(), "failed to initialize core\n");
    EXPECT_NE(core.Output().find("setuid/gid failed: Operation not permitted"), std::string::npos) << core.Output();
    EXPECT_EQ(core.Output().find(START_LINE), std::string::npos) << core.Output();
}

} // namespace
