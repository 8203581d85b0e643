#include "plugins/plugin_records.h"

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "core/version.h"

namespace dvr {

std::string_view CoreText()
{
    static const std::string text = std::string("dvrcore ") + coreVersion;
    return text;
}

PluginEntryPoint FindEntryPoint(void* handle, const char* symbol)
{
    return reinterpret_cast<PluginEntryPoint>(dlsym(handle, symbol));
}

_LoadParmsIn MakeLoadParmsIn(void* core, PluginEntryPoint callback)
{
    std::string_view text = CoreText();
    _LoadParmsIn in{};
    in.size = sizeof in;
    in.version = LOAD_PARMS_IN_VERSION;
    in.core = core;
    in.callback = callback;
    in.coreText = text.data();
    in.coreTextLength = static_cast<uint32_t>(text.size());
    return in;
}

std::vector<std::string> LoadResultHeaderProblems(const _LoadParmsOut& info)
{
    const _LoadParmsOut initial = MakeLoadParmsOut();
    std::vector<std::string> problems;
    if (info.size != initial.size)
        problems.push_back("Load changed the size of its result record from " + std::to_string(initial.size) + " to " +
                           std::to_string(info.size) + " (the core reads it as it set it): leave size as it is");
    if (info.version != initial.version)
        problems.push_back("Load changed the version of its result record from " + std::to_string(initial.version) +
                           " to " + std::to_string(info.version) + " (the core reads it as version " +
                           std::to_string(initial.version) + "): leave version as it is");
    return problems;
}

_LoadParmsOut MakeLoadParmsOut()
{
    _LoadParmsOut out{};
    out.size = sizeof out;
    out.version = LOAD_PARMS_OUT_VERSION;
    return out;
}

_OpenParmsIn MakeOpenParmsIn(uint32_t shutdownInstance)
{
    _OpenParmsIn in{};
    in.size = sizeof in;
    in.version = OPEN_PARMS_IN_VERSION;
    in.shutdownInstance = shutdownInstance;
    return in;
}

_OpenParmsOut MakeOpenParmsOut()
{
    _OpenParmsOut out{};
    out.size = sizeof out;
    out.version = OPEN_PARMS_OUT_VERSION;
    return out;
}

_CloseParmsIn MakeCloseParmsIn()
{
    return {sizeof(_CloseParmsIn), CLOSE_PARMS_IN_VERSION, 0};
}

_CloseParmsOut MakeCloseParmsOut()
{
    return {sizeof(_CloseParmsOut), CLOSE_PARMS_OUT_VERSION, 0};
}

_UnloadParmsIn MakeUnloadParmsIn()
{
    return {sizeof(_UnloadParmsIn), UNLOAD_PARMS_IN_VERSION};
}

_UnloadParmsOut MakeUnloadParmsOut()
{
    return {sizeof(_UnloadParmsOut), UNLOAD_PARMS_OUT_VERSION, 0};
}

_IoctlParmsIn MakeWorkerIoctlParmsIn()
{
    _IoctlParmsIn in{};
    in.size = sizeof in;
    in.version = IOCTL_PARMS_IN_VERSION;
    in.command = IOCTL_WORKER;
    in.subSize = IOCTL_SUB_SIZE_NO_DATA;
    in.subVersion = IOCTL_SUB_VERSION;
    return in;
}

_IoctlParmsIn MakeDataIoctlParmsIn(uint32_t command, uint32_t len, void* data)
{
    _IoctlParmsIn in{};
    in.size = sizeof in;
    in.version = IOCTL_PARMS_IN_VERSION;
    in.command = command;
    in.subSize = IOCTL_SUB_SIZE_DATA;
    in.subVersion = IOCTL_SUB_VERSION;
    in.len = len;
    in.data = data;
    return in;
}

_IoctlParmsOut MakeIoctlParmsOut(uint32_t command)
{
    bool known = command == IOCTL_WORKER || command == IOCTL_CONFIG || command == IOCTL_PARENT;
    _IoctlParmsOut out{};
    out.size = sizeof out;
    out.version = IOCTL_PARMS_OUT_VERSION;
    out.command = command;
    out.subSize = known ? IOCTL_SUB_SIZE_NO_DATA : 0;
    out.subVersion = known ? IOCTL_SUB_VERSION : 0;
    return out;
}

_ReadParmsIn MakeAsyncReadParmsIn()
{
    _ReadParmsIn in{};
    in.size = sizeof in;
    in.version = READ_PARMS_IN_VERSION;
    in.flag = 1;
    return in;
}

_ReadParmsIn MakeStreamReadParmsIn(uint32_t len, void* data, uint32_t streamID)
{
    _ReadParmsIn in = MakeAsyncReadParmsIn();
    in.len = len;
    in.data = data;
    in.streamID = streamID;
    return in;
}

_ReadParmsOut MakeReadParmsOut()
{
    _ReadParmsOut out{};
    out.size = sizeof out;
    out.version = READ_PARMS_OUT_VERSION;
    return out;
}

_WriteParmsIn MakeWriteParmsIn(const _EventParmsIn& event)
{
    _WriteParmsIn in{};
    in.size = sizeof in;
    in.version = WRITE_PARMS_IN_VERSION;
    in.len = event.len;
    in.data = event.data;
    in.providerID = event.providerID;
    in.streamID = event.streamID;
    in.eventType = event.eventType;
    in.eventFlags = event.eventFlags;
    memcpy(in.extra, event.extra, sizeof in.extra);
    return in;
}

_WriteParmsOut MakeWriteParmsOut()
{
    _WriteParmsOut out{};
    out.size = sizeof out;
    out.version = WRITE_PARMS_OUT_VERSION;
    return out;
}

_WriteParmsIn MakeLogWriteParmsIn(int level, std::string_view text)
{
    _WriteParmsIn in{};
    in.size = sizeof in;
    in.version = WRITE_PARMS_IN_VERSION;
    in.len = static_cast<uint32_t>(text.size());
    in.data = const_cast<char*>(text.data()); // the plugin only reads it, during the call
    in.providerID = CORE_PROVIDER_ID;
    in.eventType = EVT_LOG;
    in.eventFlags = EVF_LOG_MESSAGE;
    int32_t logLevel = level;
    memcpy(in.extra + EVENT_EXTRA_LOG_LEVEL, &logLevel, sizeof logLevel);
    return in;
}

} // namespace dvr
