#include "plugins/plugin_threads.h"

#include "core/dvrcore.h"
#include "plugins/plugin_records.h"

namespace dvr {

PluginThread::PluginThread(std::function<void()> body)
    : finished_(std::make_shared<Finished>())
{
    thread_ = std::thread([finished = finished_, body = std::move(body)] {
        body();
        std::lock_guard lock(finished->mutex);
        finished->done = true;
        finished->signalled.notify_all();
    });
}

bool PluginThread::WaitFinished(const SteadyNow& now, std::chrono::steady_clock::time_point deadline)
{
    if (!finished_)
        return true;
    std::unique_lock lock(finished_->mutex);
    return WaitUntilDeadline(
        lock, finished_->signalled, [this] { return finished_->done; }, now, deadline);
}

PluginThread StartWorkerThread(PluginEntryPoint ioctl)
{
    if (ioctl == nullptr)
        return {};
    return PluginThread([ioctl] {
        _IoctlParmsIn in = MakeWorkerIoctlParmsIn();
        _IoctlParmsOut out = MakeIoctlParmsOut(IOCTL_WORKER);
        ioctl(&in, &out); // the plugin's worker loop; its outcome is not examined
    });
}

PluginThread StartReadThread(PluginEntryPoint read)
{
    if (read == nullptr)
        return {};
    return PluginThread([read] {
        _ReadParmsIn in = MakeAsyncReadParmsIn();
        _ReadParmsOut out = MakeReadParmsOut();
        read(&in, &out); // the plugin's read loop; its outcome is not examined
    });
}

void ProvideWorkerThread(PLUGININFO& plugin)
{
    plugin.workerthread = StartWorkerThread(plugin.IOCTL);
}

void StartAsyncReader(PLUGININFO& plugin)
{
    plugin.readthread = StartReadThread(plugin.Read);
}

} // namespace dvr

void dvrcore::StartReadThreads()
{
    // Only readthread is written: the event bus reads the records' other fields meanwhile.
    for (const dvr::PluginTable::Record& plugin : *plugins.Load())
        if (plugin->info.wantsReads != 0)
            dvr::StartAsyncReader(*plugin);
}
