/*
 * plugin_misnamed: entry points exported under names the loader does not look up: "load" in the
 * wrong case, and Load under its C++ mangled name, as a C++ plugin without extern "C" exports it.
 */
#include <dvrcore/plugin_api.h>

#define MISNAMED_EXPORT __attribute__((visibility("default")))

static int Describe(void* out)
{
    ((_LoadParmsOut*)out)->providerID = 0x00310000u;
    return 0;
}

MISNAMED_EXPORT int load(void* in, void* out)
{
    (void)in;
    return Describe(out);
}

MISNAMED_EXPORT int MangledLoad(void* in, void* out) __asm__("_Z4LoadPvS_");
MISNAMED_EXPORT int MangledLoad(void* in, void* out)
{
    (void)in;
    return Describe(out);
}

MISNAMED_EXPORT int Write(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
