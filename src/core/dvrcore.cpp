#include "core/dvrcore.h"

#include <malloc.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <boost/system/system_error.hpp>

#include "core/privileges.h"
#include "events/event_callback.h"
#include "log/console_line.h"
#include "log/core_log.h"

// The device is 32-bit: its clock must count past 19 January 2038 and its files past 2 GiB, so
// 32-bit targets are built with _TIME_BITS=64 and _FILE_OFFSET_BITS=64 (CMakeLists.txt).
static_assert(sizeof(time_t) == 8, "time_t must be 64 bits: build with -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64");
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits: build with -D_FILE_OFFSET_BITS=64");

dvrcore::dvrcore(std::string exePathArgument)
    : wallClock([] { return time(nullptr); }),
      monitorTimer(ioContext, std::chrono::steady_clock::now() + dvr::MONITOR_PERIOD),
      parentSocket(ioContext),
      referenceBlocks(EventCallback),
      exePath(std::move(exePathArgument)),
      residentBytes(dvr::ReadResidentBytes),
      memoryMonitor({[this] { return Now(); }, [this] { return wallClock(); }, [this] { return residentBytes(); },
                     [this] { PublishThrottlingState(); }, EventCallback, [this] { return HeldDataBytes(); },
                     [this] { ReleaseFreedMemory(); }},
                    throttling, lastLowMemoryTime)
{
    dvr::SetCoreInstance(this);
}

dvrcore::~dvrcore() = default;

void dvrcore::ReleaseFreedMemory()
{
    blockPool.Clear();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Every arena's free pages, the plugins' threads' included. Under a sanitizer the heap is the
    // sanitizer's: glibc's trim would only set up glibc's unused heap, unguarded against another
    // thread doing the same.
    malloc_trim(0);
#endif
}

std::chrono::steady_clock::time_point dvrcore::Now()
{
    return std::chrono::steady_clock::now();
}

void dvrcore::Log(int level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    dvr::CoreLogV(CORE_PROVIDER_ID, EventCallback, level, format, arguments);
    va_end(arguments);
}

void dvrcore::WriteLogLine(uint32_t providerID, uint32_t level, const char* text, size_t length)
{
    if (text == nullptr)
        return;
    static const bool stdoutIsTerminal = isatty(fileno(stdout)) != 0;
    std::string_view line = dvr::LogMessageText(text, length);
    if (level == 100)
        syslog(LOG_CRIT, "%.*s", static_cast<int>(line.size()), line.data());
    if (!stdoutIsTerminal || backgroundMode.load())
        return;
    dvr::WriteConsoleLine(ConsoleLine(providerID, level, line));
}

std::string dvrcore::ConsoleLine(uint32_t providerID, uint32_t level, std::string_view text)
{
    return dvr::FormatConsoleLine(wallClock(), moduleNames.Lookup(providerID), level, colourOutput.load(), text);
}

bool dvrcore::Initialize(int descriptor)
{
    moduleNames.Set(CORE_PROVIDER_ID, "core");
    umask(077);
    if (!dvr::DropPrivileges(EventCallback))
        return false;
    if (descriptor == -1)
        return true;
    try {
        boost::asio::generic::seq_packet_protocol::socket socket(ioContext);
        socket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), descriptor);
        if (parentSocket.is_open())
            parentSocket.close();
        parentSocket = std::move(socket);
        parentLinkOpen = true;
    } catch (const boost::system::system_error&) {
        Log(dvr::LOG_FAILURE, "failed to open ipc pipe");
        return false;
    }
    return true;
}

void dvrcore::RequestStop()
{
    eventQueue.RequestStop();
    streams.Stop(); // a reader waiting for its previous block gets its event refused
}
