#include "symbols.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace dvr::validate {
namespace {

// The addr2line on the PATH, or empty.
std::string FindAddr2line()
{
    const char* path = getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        std::string candidate = (folder.empty() ? "." : folder) + "/addr2line";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

// The file as addr2line, a host program, finds it: under qemu-user a library path the emulated
// loader used may lie under the emulator's prefix (QEMU_LD_PREFIX) instead.
std::string HostPath(const std::string& file)
{
    const char* prefix = getenv("QEMU_LD_PREFIX");
    if (access(file.c_str(), R_OK) == 0 || prefix == nullptr || file.empty() || file[0] != '/')
        return file;
    std::string prefixed = prefix + file;
    return access(prefixed.c_str(), R_OK) == 0 ? prefixed : file;
}

// One line of addr2line -p -f -C per offset into file, or nothing when it cannot be run.
std::vector<std::string> RunAddr2line(const std::string& guestFile, const std::vector<std::string>& offsets)
{
    static const std::string program = FindAddr2line();
    const std::string file = HostPath(guestFile);
    if (program.empty() || offsets.empty())
        return {};
    // The arguments are built before the fork: the child of a threaded process may not allocate.
    std::vector<std::string> words = {program, "-p", "-f", "-C", "-e", file};
    words.insert(words.end(), offsets.begin(), offsets.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0)
        return {};
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; child > 0 && (got = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    close(out[0]);
    int status = 0;
    if (child > 0)
        waitpid(child, &status, 0);
    if (child <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// Whether addr2line found something: it prints "??" for what it does not know.
bool Known(const std::string& line)
{
    return !line.empty() && line.rfind("??", 0) != 0;
}

} // namespace

std::string SourceLine(const std::string& file, const std::string& offset)
{
    std::vector<std::string> lines = RunAddr2line(file, {offset});
    return lines.size() == 1 && Known(lines[0]) ? lines[0] : "";
}

std::vector<std::string> SymbolizeTrace(const std::vector<std::string>& lines)
{
    // The "(+0xN)" frames of each file, asked of addr2line once per file.
    std::map<std::string, std::vector<size_t>> framesOfFile;
    std::vector<std::string> offsets(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        size_t open = lines[i].find("(+0x");
        size_t close = open == std::string::npos ? std::string::npos : lines[i].find(')', open);
        if (close == std::string::npos)
            continue;
        // A return address points after its call: one byte back lies inside the calling line.
        unsigned long long offset = strtoull(lines[i].c_str() + open + 2, nullptr, 16);
        char text[32];
        snprintf(text, sizeof text, "0x%llx", offset > 0 ? offset - 1 : 0);
        offsets[i] = text;
        framesOfFile[lines[i].substr(0, open)].push_back(i);
    }
    std::vector<std::string> named = lines;
    for (const auto& [file, frames] : framesOfFile) {
        std::vector<std::string> asked;
        for (size_t i : frames)
            asked.push_back(offsets[i]);
        std::vector<std::string> answers = RunAddr2line(file, asked);
        if (answers.size() != frames.size())
            continue; // inlined frames or a failure: the lines stay as they were
        for (size_t k = 0; k < frames.size(); ++k)
            if (Known(answers[k]))
                named[frames[k]] += " = " + answers[k];
    }
    return named;
}

} // namespace dvr::validate
