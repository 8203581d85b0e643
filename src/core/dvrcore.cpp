#include "core/dvrcore.h"

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

dvrcore::dvrcore(std::string exePathArgument)
    : monitorTimer(ioContext, std::chrono::steady_clock::now() + dvr::MONITOR_PERIOD),
      parentSocket(ioContext),
      referenceBlocks(EventCallback),
      exePath(std::move(exePathArgument)),
      wallClock([] { return time(nullptr); }),
      residentBytes(dvr::ReadResidentBytes),
      memoryMonitor({[this] { return Now(); }, [this] { return wallClock(); }, [this] { return residentBytes(); },
                     [this] { PublishThrottlingState(); }, EventCallback, [this] { return HeldDataBytes(); }},
                    throttling, lastLowMemoryTime)
{
    dvr::SetCoreInstance(this);
}

dvrcore::~dvrcore() = default;

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
    time_t now = time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::string output = dvr::FormatConsoleLine(utc, moduleNames.Lookup(providerID), level, colourOutput.load(), line);
    dvr::WriteConsoleLine(output);
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
