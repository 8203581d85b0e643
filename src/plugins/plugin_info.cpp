#include "plugins/plugin_info.h"

#include <dlfcn.h>

#include <chrono>

#include "plugins/plugin_loading.h"
#include "plugins/plugin_record.h"
#include "plugins/plugin_records.h"
#include "plugins/plugin_threads.h"

namespace {

// The shutdown logger is measured on the steady clock directly: it has no core to ask.
std::chrono::steady_clock::time_point Now()
{
    return std::chrono::steady_clock::now();
}

} // namespace

PluginInfo::PluginInfo(const std::string& path, PluginEntryPoint callback, void* core)
    : info(dvr::MakeLoadParmsOut()),
      name(dvr::PluginFileName(path))
{
    handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr)
        return;
    entry.Load = Find("Load");
    entry.Unload = Find("Unload");
    entry.IOCTL = Find("IOCTL");
    entry.Read = Find("Read");
    if (entry.Load == nullptr || entry.Unload == nullptr || entry.IOCTL == nullptr || entry.Read == nullptr) {
        loadCode = PLUGIN_ENTRY_MISSING;
        Release();
        return;
    }
    _LoadParmsIn in = dvr::MakeLoadParmsIn(core, callback);
    auto start = Now();
    loadCode = entry.Load(&in, &info);
    loadTimeMs = dvr::ElapsedMs(start, Now());
    if (loadCode != 0 || info.error != 0)
        Release();
}

PluginEntryPoint PluginInfo::Find(const char* symbol) const
{
    return dvr::FindEntryPoint(handle, symbol);
}

void PluginInfo::Release()
{
    entry = EntryPoints{};
    if (handle == nullptr || info.providerID == PROVIDER_ID_NEVER_UNMAPPED)
        return;
    dlclose(handle);
    handle = nullptr;
}

std::pair<int, _OpenParmsOut> PluginInfo::Open(uint32_t shutdownInstance)
{
    _OpenParmsOut out = dvr::MakeOpenParmsOut();
    // A released object has no Load; looking names up in it again would revive it.
    if (entry.Open != nullptr || entry.Load == nullptr)
        return {PLUGIN_ENTRY_UNAVAILABLE, out};
    entry.Open = Find("Open");
    entry.Close = Find("Close");
    entry.Write = Find("Write");
    entry.Seek = Find("Seek");
    if (entry.Open == nullptr || entry.Close == nullptr)
        return {PLUGIN_ENTRY_MISSING, out};
    _OpenParmsIn in = dvr::MakeOpenParmsIn(shutdownInstance);
    auto start = Now();
    openCode = entry.Open(&in, &out);
    openTimeMs = dvr::ElapsedMs(start, Now());
    return {openCode, out};
}

std::pair<int, _CloseParmsOut> PluginInfo::Close()
{
    _CloseParmsOut out = dvr::MakeCloseParmsOut();
    if (entry.Close == nullptr)
        return {PLUGIN_ENTRY_UNAVAILABLE, out};
    _CloseParmsIn in = dvr::MakeCloseParmsIn();
    int code = entry.Close(&in, &out);
    entry.Open = nullptr;
    entry.Close = nullptr;
    entry.Write = nullptr;
    entry.Seek = nullptr;
    return {code, out};
}

std::pair<int, _UnloadParmsOut> PluginInfo::Unload()
{
    if (readthread.joinable())
        readthread.join();
    if (workerthread.joinable())
        workerthread.join();
    _UnloadParmsOut out = dvr::MakeUnloadParmsOut();
    if (entry.Unload == nullptr) {
        Release();
        return {PLUGIN_ENTRY_UNAVAILABLE, out};
    }
    _UnloadParmsIn in = dvr::MakeUnloadParmsIn();
    int code = entry.Unload(&in, &out);
    Release();
    return {code, out};
}

std::pair<int, _IoctlParmsOut> PluginInfo::IOCTL(_IoctlParmsIn& in)
{
    _IoctlParmsOut out = dvr::MakeIoctlParmsOut(in.command);
    return {dvr::CallEntryPoint(entry.IOCTL, &in, &out), out};
}

std::pair<int, _WriteParmsOut> PluginInfo::Write(_WriteParmsIn& in)
{
    _WriteParmsOut out = dvr::MakeWriteParmsOut();
    return {dvr::CallEntryPoint(entry.Write, &in, &out), out};
}

std::pair<int, _ReadParmsOut> PluginInfo::Read(_ReadParmsIn& in)
{
    _ReadParmsOut out = dvr::MakeReadParmsOut();
    return {dvr::CallEntryPoint(entry.Read, &in, &out), out};
}

void PluginInfo::Log(int level, const std::string& text)
{
    if (entry.Write == nullptr)
        return;
    _WriteParmsIn in = dvr::MakeLogWriteParmsIn(level, text);
    Write(in);
}

void PluginInfo::ProvideWorkerThread()
{
    workerthread = dvr::StartWorkerThread(entry.IOCTL);
}

void PluginInfo::StartAsyncReader()
{
    readthread = dvr::StartReadThread(entry.Read);
}
