/*
 * plugin_load_only: exports "Load" and nothing else, yet asks for a worker thread and for reads,
 * so the core has to do without every other entry point. Provider ID 0x00200000.
 */
#include <dvrcore/plugin_api.h>

__attribute__((visibility("default"))) int Load(void* in, void* out)
{
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    (void)in;
    self->providerID = 0x00200000u;
    self->wantsWorkerThread = 1;
    self->wantsReads = 1;
    self->acceptsWrites = 1;
    return 0;
}
