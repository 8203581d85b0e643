/*
 * plugin_no_load: a shared object with entry points but without "Load", which the core refuses.
 */
#include <dvrcore/plugin_api.h>

__attribute__((visibility("default"))) int Open(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

__attribute__((visibility("default"))) int Close(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
