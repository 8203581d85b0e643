// Process entry: parses the command line, prepares wxBase, finds the executable, and builds,
// initialises and runs the one core object. The only place that decides the exit status.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include <boost/filesystem.hpp>
#include <wx/app.h>

#include "core/command_line.h"
#include "core/dvrcore.h"
#include "core/version.h"

namespace {

// Plain writes of exactly the message: logging needs the core object, which may not exist.
void WriteError(const char* message)
{
    ssize_t ignored = write(STDERR_FILENO, message, strlen(message));
    (void)ignored;
}

} // namespace

int main(int argc, char* argv[])
{
    // Two malloc arenas per core at most, before any thread starts (glibc's own bound for 32-bit
    // processes; 64-bit ones get eight per core). A camera has a thread or two of its own, and a
    // frame's block is freed by a thread other than the one that made it: with an arena for nearly
    // every thread, freed memory scattered over them kept up to 120 MiB resident in a 16-camera
    // import, which the memory limit counts as used and throttled video for.
    // (A sanitizer's heap is its own, and its mallopt only says no.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    if (mallopt(M_ARENA_MAX, static_cast<int>(2 * std::max(1u, std::thread::hardware_concurrency()))) == 0)
        WriteError("the malloc arenas could not be bounded\n");
#endif

    dvr::CommandLine commandLine = dvr::ParseCommandLine(argc, argv);
    if (commandLine.showUsage) {
        fprintf(stderr, "core version %s\n", dvr::coreVersion);
        fprintf(stderr, "Usage: %s <pipe>\n", argv[0]);
        return 0;
    }

    int wxArgc = 0;
    wxInitialize(wxArgc, static_cast<wxChar**>(nullptr));

    boost::system::error_code error;
    boost::filesystem::path currentDirectory = boost::filesystem::current_path(error);
    boost::filesystem::path exePath;
    if (!error)
        exePath = boost::filesystem::canonical("/proc/self/exe", currentDirectory, error);
    if (error) {
        WriteError("failed to find canonical path\n");
        return 1;
    }

    // On the heap: the core holds the parent link's 64 KiB receive buffer.
    auto core = std::make_unique<dvrcore>(exePath.string());
    if (!core->Initialize(commandLine.descriptor)) {
        WriteError("failed to initialize core\n");
        core.reset();
        return 2;
    }
    core->Start();
    wxUninitialize();
    core.reset();
    return 0;
}
