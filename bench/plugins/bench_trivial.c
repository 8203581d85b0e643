/* bench_trivial: a plugin that only loads, opens, closes and unloads; the start-up runs install it
 * under many names. Its provider ID comes from its file name's number (bench_trivial_NN.so). */
#define _GNU_SOURCE

#include <dvrcore/plugin_api.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#define TRIVIAL_EXPORT __attribute__((visibility("default")))

TRIVIAL_EXPORT int Load(void* in, void* out)
{
    Dl_info self;
    unsigned number = 0;
    (void)in;
    if (dladdr((void*)Load, &self) != 0 && self.dli_fname != NULL) {
        const char* digits = strrchr(self.dli_fname, '_');
        if (digits != NULL)
            number = (unsigned)strtoul(digits + 1, NULL, 10);
    }
    ((_LoadParmsOut*)out)->providerID = 0x00400000u + (number << 16);
    return 0;
}
