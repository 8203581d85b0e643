#include "load_probe.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

namespace dvr::inspect {
namespace {

using Clock = std::chrono::steady_clock;

// What the child sends, one record at a time: a tag byte, a 32-bit length, the payload.
enum class Tag : uint8_t { LINE = 1, OPENING, LOAD_CALLED, EVENT, RESULT, UNRESOLVED, DROP_FAILED, DONE, UNREADABLE };

// The longest log text kept from one event.
constexpr size_t MAX_LOG_TEXT = size_t{64} * 1024;

class Encoder {
public:
    void U32(uint32_t value) { Append(&value, sizeof value); }
    void I64(int64_t value) { Append(&value, sizeof value); }
    void Text(const std::string& text)
    {
        U32(static_cast<uint32_t>(text.size()));
        bytes_ += text;
    }
    void Append(const void* data, size_t size) { bytes_.append(static_cast<const char*>(data), size); }
    const std::string& Bytes() const { return bytes_; }

private:
    std::string bytes_;
};

class Decoder {
public:
    explicit Decoder(std::string_view bytes)
        : bytes_(bytes)
    {
    }
    uint32_t U32()
    {
        uint32_t value = 0;
        Take(&value, sizeof value);
        return value;
    }
    int64_t I64()
    {
        int64_t value = 0;
        Take(&value, sizeof value);
        return value;
    }
    std::string Text()
    {
        size_t size = std::min<size_t>(U32(), bytes_.size());
        std::string text(bytes_.substr(0, size));
        bytes_.remove_prefix(size);
        return text;
    }
    void Take(void* data, size_t size)
    {
        size_t available = std::min(size, bytes_.size());
        memcpy(data, bytes_.data(), available);
        bytes_.remove_prefix(available);
    }

private:
    std::string_view bytes_;
};

// The child's end of the pipe: records from the loader's thread and from plugin threads alike.
int reportFd = -1;     // written once before the plugin is loaded
std::mutex reportLock; // guards writes to reportFd, so records of several threads never mix

void Send(Tag tag, const Encoder& payload)
{
    std::string record(1, static_cast<char>(tag));
    auto size = static_cast<uint32_t>(payload.Bytes().size());
    record.append(reinterpret_cast<const char*>(&size), sizeof size);
    record += payload.Bytes();
    std::lock_guard<std::mutex> lock(reportLock);
    for (size_t written = 0; written < record.size();) {
        ssize_t n = write(reportFd, record.data() + written, record.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        written += static_cast<size_t>(n);
    }
}

// The callback a plugin gets: its events are recorded and answered as the core answers them
// before its queue runs, with every log level on.
int InspectorEventCallback(void* in, void* out)
{
    if (in == nullptr || out == nullptr)
        return 0;
    const auto* event = static_cast<const _EventParmsIn*>(in);
    auto* answer = static_cast<_EventParmsOut*>(out);
    LoadEvent record;
    record.providerID = event->providerID;
    record.eventType = event->eventType;
    record.eventFlags = event->eventFlags;
    record.len = event->len;
    if (event->eventType == EVT_RELEASE) {
        record.what = "release";
    } else if (event->eventType == EVT_PARENT_SEND) {
        // The block is the core's from the call on; with no parent the core frees it and refuses.
        free(event->data);
        record.what = "parent send";
        answer->result = EVENT_REFUSED;
    } else if (event->providerID == 0) {
        record.what = "stream control";
        answer->result = EVENT_ACCEPTED;
    } else if ((event->eventType & EVT_LOG) != 0 && (event->eventFlags & EVF_LOG_MESSAGE) != 0) {
        record.what = "log";
        record.level = EventLogLevel(event);
        if (event->data != nullptr)
            record.text.assign(
                static_cast<const char*>(event->data),
                strnlen(static_cast<const char*>(event->data), std::min<size_t>(event->len, MAX_LOG_TEXT)));
        answer->result = EVENT_ACCEPTED;
    } else if ((event->eventType & EVT_LOG) != 0 && (event->eventFlags & EVF_LOG_QUERY) != 0) {
        record.what = "log threshold query";
        answer->result = -1; // no threshold: every level is on
    } else {
        record.what = "event";
        answer->result = EVENT_ACCEPTED;
    }
    record.answer = answer->result;
    Encoder payload;
    for (uint32_t value : {record.providerID, record.eventType, record.eventFlags, record.len})
        payload.U32(value);
    payload.I64(record.level);
    payload.I64(record.answer);
    payload.Text(record.what);
    payload.Text(record.text);
    Send(Tag::EVENT, payload);
    return 0;
}

// The loader's host in the child: lines go to the parent, and the IDs accepted before count as taken.
class ChildHost final : public PluginLoaderHost {
public:
    explicit ChildHost(const std::vector<uint32_t>& taken)
        : taken_(taken)
    {
    }
    void LoaderLog(int level, const std::string& line) override
    {
        Encoder payload;
        payload.I64(level);
        payload.Text(line);
        Send(Tag::LINE, payload);
    }
    bool ProviderIDTaken(uint32_t providerID) override
    {
        return std::find(taken_.begin(), taken_.end(), providerID) != taken_.end();
    }
    Clock::time_point LoaderNow() override { return Clock::now(); }
    void* LoadCore() override { return &coreStandIn_; }
    // Asked for just before Load is called.
    PluginEntryPoint LoadCallback() override
    {
        Send(Tag::LOAD_CALLED, Encoder());
        return InspectorEventCallback;
    }

private:
    const std::vector<uint32_t>& taken_;
    int coreStandIn_ = 0; // its address is the opaque core pointer
};

// Changes to the user; the reason when any step fails or root could be regained.
std::optional<std::string> ChangeUser(const RunAs& user)
{
    if (setgroups(1, &user.gid) != 0)
        return "setgroups failed: " + std::string(strerror(errno));
    if (setgid(user.gid) != 0)
        return "setgid(" + std::to_string(user.gid) + ") failed: " + strerror(errno);
    if (setuid(user.uid) != 0)
        return "setuid(" + std::to_string(user.uid) + ") failed: " + strerror(errno);
    if (getuid() != user.uid || geteuid() != user.uid || getgid() != user.gid || getegid() != user.gid)
        return std::string("the user or group did not change");
    if (user.uid != 0 && setuid(0) == 0)
        return std::string("root could be regained after the change");
    return std::nullopt;
}

[[noreturn]] void RunChild(const std::string& path, const ProbeOptions& options, int fd, const std::string& workDir)
{
    reportFd = fd;
    // The plugin's own output must not mix with the report on standard output.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    if (chdir(workDir.c_str()) != 0) {
        Encoder payload;
        payload.Text("the temporary working folder " + workDir + " could not be entered: " + strerror(errno));
        Send(Tag::DROP_FAILED, payload);
        _exit(3);
    }
    if (options.user) {
        if (std::optional<std::string> failure = ChangeUser(*options.user)) {
            Encoder payload;
            payload.Text(*failure);
            Send(Tag::DROP_FAILED, payload);
            _exit(3);
        }
    }
    // The core reads the file as its parent's user, not as this one: a file this user cannot
    // read says nothing about the core, so it is not handed to the loader.
    if (options.user && access(path.c_str(), R_OK) != 0) {
        Encoder payload;
        payload.Text(strerror(errno));
        Send(Tag::UNREADABLE, payload);
        _exit(3);
    }
    ChildHost host(options.takenIDs);
    Send(Tag::OPENING, Encoder());
    PluginLoadResult loaded = LoadPluginFile(path, host);
    Encoder result;
    result.I64(static_cast<int64_t>(loaded.outcome));
    result.I64(loaded.refusalLevel);
    result.I64(loaded.loadCode);
    result.I64(loaded.loadTimeMs);
    result.Text(loaded.refusal);
    result.Text(loaded.loaderError);
    result.Append(&loaded.info, sizeof loaded.info);
    const PluginEntryPoint entries[] = {loaded.entries.Load,  loaded.entries.Unload, loaded.entries.Open,
                                        loaded.entries.Close, loaded.entries.Read,   loaded.entries.Write,
                                        loaded.entries.Seek,  loaded.entries.IOCTL};
    for (PluginEntryPoint entry : entries)
        result.U32(entry != nullptr ? 1 : 0);
    Send(Tag::RESULT, result);
    if (options.checkLibraries && options.elf != nullptr) {
        for (const UnresolvedLibrary& library : FindUnresolvedLibraries(*options.elf, path)) {
            Encoder payload;
            payload.Text(library.name);
            payload.Text(library.reason);
            Send(Tag::UNRESOLVED, payload);
        }
    }
    Send(Tag::DONE, Encoder());
    _exit(0); // no destructors, atexit handlers or Unload: the process only served this one load
}

// Turns the records into the result; true when DONE arrived.
bool Decode(std::string_view bytes, ProbeResult& result)
{
    bool done = false;
    while (bytes.size() >= 5) {
        auto tag = static_cast<Tag>(bytes[0]);
        uint32_t size = 0;
        memcpy(&size, bytes.data() + 1, sizeof size);
        if (bytes.size() - 5 < size)
            break; // cut off by the end of the child
        Decoder payload(bytes.substr(5, size));
        bytes.remove_prefix(5 + size);
        switch (tag) {
        case Tag::LINE: {
            LoaderLine line;
            line.level = static_cast<int>(payload.I64());
            line.text = payload.Text();
            result.loaderLines.push_back(std::move(line));
            break;
        }
        case Tag::OPENING: result.opening = true; break;
        case Tag::LOAD_CALLED: result.loadCalled = true; break;
        case Tag::EVENT: {
            LoadEvent event;
            event.providerID = payload.U32();
            event.eventType = payload.U32();
            event.eventFlags = payload.U32();
            event.len = payload.U32();
            event.level = static_cast<int32_t>(payload.I64());
            event.answer = static_cast<int32_t>(payload.I64());
            event.what = payload.Text();
            event.text = payload.Text();
            result.events.push_back(std::move(event));
            break;
        }
        case Tag::RESULT:
            result.outcome = static_cast<LoadOutcome>(payload.I64());
            result.refusalLevel = static_cast<int>(payload.I64());
            result.loadCode = static_cast<int>(payload.I64());
            result.loadTimeMs = payload.I64();
            result.refusal = payload.Text();
            result.loaderError = payload.Text();
            payload.Take(&result.info, sizeof result.info);
            for (bool& entry : result.entries)
                entry = payload.U32() != 0;
            break;
        case Tag::UNRESOLVED: {
            UnresolvedLibrary library;
            library.name = payload.Text();
            library.reason = payload.Text();
            result.unresolved.push_back(std::move(library));
            break;
        }
        case Tag::DROP_FAILED:
            result.ending = ProbeEnding::DROP_FAILED;
            result.endingText = payload.Text();
            break;
        case Tag::UNREADABLE:
            result.ending = ProbeEnding::UNREADABLE;
            result.endingText = payload.Text();
            break;
        case Tag::DONE: done = true; break;
        }
    }
    return done;
}

std::string Seconds(int64_t ms)
{
    char text[32];
    snprintf(text, sizeof text, "%g", static_cast<double>(ms) / 1000.0);
    return text;
}

} // namespace

std::optional<RunAs> FindUser(const std::string& name, std::string& error)
{
    errno = 0;
    const passwd* entry = getpwnam(name.c_str());
    if (entry == nullptr) {
        error = errno != 0 ? strerror(errno) : "no such user";
        return std::nullopt;
    }
    return RunAs{entry->pw_name, entry->pw_uid, entry->pw_gid};
}

std::string SignalName(int signal)
{
    const char* abbreviation = sigabbrev_np(signal);
    const char* description = strsignal(signal);
    std::string name = abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
    return description != nullptr ? name + " (" + description + ")" : name;
}

namespace {

// A temporary folder for the child to work in, owned by the user it changes to; removed with
// everything in it when the object goes.
class WorkingFolder {
public:
    explicit WorkingFolder(const std::optional<RunAs>& user)
    {
        char pattern[] = "/tmp/dvrcore-inspect.XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            error_ = "no temporary working folder: " + std::string(strerror(errno));
            return;
        }
        path_ = pattern;
        if (user && chown(path_.c_str(), user->uid, user->gid) != 0)
            error_ = "the temporary working folder could not be given to " + user->name + ": " + strerror(errno);
    }
    ~WorkingFolder()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

    const std::string& Path() const { return path_; }
    const std::string& Error() const { return error_; }

    // Everything in the folder, in path order: relative paths, folders with a trailing "/".
    std::vector<std::string> Contents() const
    {
        namespace fs = std::filesystem;
        std::vector<std::string> found;
        std::error_code error;
        for (fs::recursive_directory_iterator entry(path_, error), end; !error && entry != end;
             entry.increment(error)) {
            std::string name = fs::relative(entry->path(), path_, error).string();
            found.push_back(entry->is_directory(error) && !entry->is_symlink(error) ? name + "/" : name);
        }
        std::sort(found.begin(), found.end());
        return found;
    }

private:
    std::string path_;
    std::string error_;
};

} // namespace

ProbeResult ProbePluginFile(const std::string& path, const ProbeOptions& options)
{
    ProbeResult result;
    WorkingFolder workDir(options.user);
    if (!workDir.Error().empty()) {
        result.endingText = workDir.Error();
        return result;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        result.endingText = "pipe failed: " + std::string(strerror(errno));
        return result;
    }
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        result.endingText = "fork failed: " + std::string(strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (child == 0) {
        close(fds[0]);
        RunChild(path, options, fds[1], workDir.Path());
    }
    close(fds[1]);

    auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
    auto remainingMs = [&deadline] {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<int64_t>(left, 0, 1000));
    };
    std::string bytes;
    bool timedOut = false;
    for (;;) {
        if (Clock::now() >= deadline) {
            timedOut = true;
            break;
        }
        pollfd fd{fds[0], POLLIN, 0};
        int ready = poll(&fd, 1, remainingMs());
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);

    // The pipe can close before the child ends (a plugin may close it): the time-out still holds.
    int status = 0;
    if (timedOut)
        kill(child, SIGKILL);
    for (;;) {
        pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child || (ended < 0 && errno != EINTR))
            break;
        if (!timedOut && Clock::now() >= deadline) {
            timedOut = true;
            kill(child, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    bool done = Decode(bytes, result);
    result.createdInWorkingFolder = workDir.Contents();
    if (result.ending == ProbeEnding::DROP_FAILED) {
        if (options.user)
            result.endingText = "could not change to user " + options.user->name + ": " + result.endingText;
        return result;
    }
    if (result.ending == ProbeEnding::UNREADABLE) {
        result.endingText = "the inspection could not read the file as user " + options.user->name + ": " +
                            result.endingText + " (the core reads it as its parent's user): run with --user NAME, or " +
                            "let " + options.user->name + " read the file and search its folders";
        return result;
    }
    // The step the child was at: Load, the loader's dlopen and lookups, or its own start.
    const char* step = result.loadCalled ? "Load" : result.opening ? "dlopen" : "the child, before dlopen,";
    if (timedOut) {
        result.ending = ProbeEnding::TIMED_OUT;
        result.endingText = std::string(step) + " did not return within " + Seconds(options.timeoutMs) + " s";
    } else if (done) {
        result.ending = ProbeEnding::FINISHED;
    } else if (WIFSIGNALED(status)) {
        result.ending = ProbeEnding::SIGNALLED;
        result.signal = WTERMSIG(status);
        result.endingText = std::string(step) + " was ended by " + SignalName(result.signal);
    } else {
        result.ending = ProbeEnding::EXITED;
        result.endingText = std::string(step) + " ended the process with status " +
                            std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    return result;
}

} // namespace dvr::inspect
