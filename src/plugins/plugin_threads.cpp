#include "plugins/plugin_threads.h"

#include "core/dvrcore.h"
#include "plugins/plugin_records.h"

namespace dvr {

std::thread StartWorkerThread(PluginEntryPoint ioctl)
{
    if (ioctl == nullptr)
        return {};
    return std::thread([ioctl] {
        _IoctlParmsIn in = MakeWorkerIoctlParmsIn();
        _IoctlParmsOut out = MakeIoctlParmsOut(IOCTL_WORKER);
        ioctl(&in, &out); // the plugin's worker loop; its outcome is not examined
    });
}

std::thread StartReadThread(PluginEntryPoint read)
{
    if (read == nullptr)
        return {};
    return std::thread([read] {
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
