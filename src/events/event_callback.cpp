#include "events/event_callback.h"

#include <atomic>

#include "core/dvrcore.h"

namespace dvr {
namespace {

std::atomic<dvrcore*> coreInstance{nullptr};

} // namespace

void SetCoreInstance(dvrcore* core)
{
    coreInstance.store(core);
}

dvrcore* CoreInstance()
{
    return coreInstance.load();
}

} // namespace dvr

int EventCallback(void* in, void* out)
{
    dvrcore* core = dvr::CoreInstance();
    if (core == nullptr || in == nullptr || out == nullptr)
        return 0;
    return core->PluginEvent(static_cast<_EventParmsIn*>(in), static_cast<_EventParmsOut*>(out));
}

int NullEventSink(void* /*in*/, void* out)
{
    if (out != nullptr)
        static_cast<_EventParmsOut*>(out)->result = EVENT_ACCEPTED;
    return 0;
}
