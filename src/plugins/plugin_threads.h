#pragma once

#include <dvrcore/plugin_api.h>

#include "plugins/plugin_record.h"
#include "plugins/plugin_thread.h"

namespace dvr {

// The two long-lived threads the core lends a plugin. Each holds only the address of the one entry
// point it calls, never the plugin's record, so the table may change while they run. The core
// never stops them: the plugin ends the call once it is closed, and the unload steps join them.

// A thread that runs IOCTL_WORKER once through ioctl; empty when ioctl is null.
PluginThread StartWorkerThread(PluginEntryPoint ioctl);
// A thread that runs one asynchronous Read (no data, no stream) through read; empty when read is null.
PluginThread StartReadThread(PluginEntryPoint read);

// Starts the record's worker thread into workerthread. Called by the loader right after Load, before
// the record enters the table. A plugin that does not export "IOCTL" gets no thread.
void ProvideWorkerThread(PLUGININFO& plugin);
// Starts the record's asynchronous read thread into readthread. A plugin that does not export
// "Read" gets no thread.
void StartAsyncReader(PLUGININFO& plugin);

} // namespace dvr
