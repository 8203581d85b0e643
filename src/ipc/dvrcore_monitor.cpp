// The core's monitor timer: memory and clock checks every 100 ms on the I/O thread, and the
// memory status document.
#include <tinyxml.h>

#include "config/statistics_document.h"
#include "config/xml_file.h"
#include "core/dvrcore.h"
#include "events/event_callback.h"

void dvrcore::StartMonitor()
{
    monitorTimer.async_wait([this](const boost::system::error_code& error) { OnMonitorTimer(error); });
}

void dvrcore::OnMonitorTimer(const boost::system::error_code& error)
{
    if (error)
        return; // cancelled: the ticks end for good
    memoryMonitor.Tick(memoryThrottlingEnabled);
    if (throttling.load(std::memory_order_relaxed))
        blockPool.Clear(); // memory is short: the blocks kept for reuse go back first
    auto now = std::chrono::steady_clock::now();
    auto expiry = now > std::chrono::steady_clock::time_point::max() - dvr::MONITOR_PERIOD
                      ? std::chrono::steady_clock::time_point::max()
                      : now + dvr::MONITOR_PERIOD;
    monitorTimer.expires_at(expiry);
    monitorTimer.async_wait([this](const boost::system::error_code& next) { OnMonitorTimer(next); });
}

void dvrcore::PublishThrottlingState()
{
    TiXmlElement memory("Memory");
    memory.SetAttribute("ID", static_cast<int>(static_cast<int32_t>(CORE_PROVIDER_ID)));
    memory.SetAttribute("Throttling", throttling.load() ? 1 : 0);
    memory.SetAttribute("Time", static_cast<int>(static_cast<int32_t>(wallClock())));
    TiXmlElement root("oDVR");
    root.InsertEndChild(memory);
    dvr::XmlDocument document;
    document.InsertEndChild(TiXmlDeclaration("", "", ""));
    document.InsertEndChild(root);
    dvr::BroadcastDocument(document, EVT_STATUS, EventCallback);
}
