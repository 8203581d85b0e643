/*
 * plugin_needs_library: a plugin linked against libverdict_needed.so and built without a search
 * path for it, so the dynamic loader refuses it wherever that library is not installed.
 */
#include <dvrcore/plugin_api.h>

unsigned NeededProviderID(void);

__attribute__((visibility("default"))) int Load(void* in, void* out)
{
    (void)in;
    ((_LoadParmsOut*)out)->providerID = NeededProviderID();
    return 0;
}
