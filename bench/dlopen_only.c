/* Loads each file given, as the core loads a plugin, and exits: the start-up runs' measure of what
 * dlopen alone costs. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char* argv[])
{
    int i;
    for (i = 1; i < argc; ++i) {
        if (dlopen(argv[i], RTLD_NOW) == NULL) {
            fprintf(stderr, "%s\n", dlerror());
            return 1;
        }
    }
    return 0;
}
