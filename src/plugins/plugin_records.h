#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <dvrcore/plugin_api.h>

namespace dvr {

// The parameter and result records the plugin host hands to entry points, each with its header
// set and every other field at the value the core passes. Plain values, built on the caller's stack.

// The text every plugin gets as coreText in its Load parameters, the shutdown logger included.
std::string_view CoreText();

_LoadParmsIn MakeLoadParmsIn(void* core, PluginEntryPoint callback);
// Zeroed apart from size and version: the plugin fills in its self-description.
_LoadParmsOut MakeLoadParmsOut();
_OpenParmsIn MakeOpenParmsIn(uint32_t shutdownInstance);
_OpenParmsOut MakeOpenParmsOut();
_CloseParmsIn MakeCloseParmsIn();
_CloseParmsOut MakeCloseParmsOut();
_UnloadParmsIn MakeUnloadParmsIn();
_UnloadParmsOut MakeUnloadParmsOut();
// The one call of a worker thread: IOCTL_WORKER without data.
_IoctlParmsIn MakeWorkerIoctlParmsIn();
// An IOCTL that carries data: IOCTL_CONFIG with a configuration document, IOCTL_PARENT with one
// packet from the parent.
_IoctlParmsIn MakeDataIoctlParmsIn(uint32_t command, uint32_t len, void* data);
// The result record of an IOCTL call: the command echoed, and the sub-record header of the
// commands the core defines (zero for any other command).
_IoctlParmsOut MakeIoctlParmsOut(uint32_t command);
// The one call of an asynchronous read thread: no data and no stream.
_ReadParmsIn MakeAsyncReadParmsIn();
// The one call of a reader thread: the reader's own copy of a stream control event's data.
_ReadParmsIn MakeStreamReadParmsIn(uint32_t len, void* data, uint32_t streamID);
_ReadParmsOut MakeReadParmsOut();
// A queued event delivered to Write: bytes 8 to 183 of the event, unchanged.
_WriteParmsIn MakeWriteParmsIn(const _EventParmsIn& event);
_WriteParmsOut MakeWriteParmsOut();
// A log line of the core written straight into a plugin's Write: text is not copied and must
// outlive the call.
_WriteParmsIn MakeLogWriteParmsIn(int level, std::string_view text);

// What is wrong with the header of the Load result record a plugin handed back: Load changed its
// size or version, which the core set and reads the record by. One text per fault; none when both
// are as the core set them. The inspector, the harness and the validator all report these.
std::vector<std::string> LoadResultHeaderProblems(const _LoadParmsOut& info);

// The address of the entry point exported under symbol by the loaded object handle, or null when
// it exports no such name. handle must not be null (a null handle would search the whole process).
PluginEntryPoint FindEntryPoint(void* handle, const char* symbol);

// Milliseconds between two readings of the steady clock, truncated.
inline int64_t ElapsedMs(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point end)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
}

} // namespace dvr
