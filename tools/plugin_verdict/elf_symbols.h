#pragma once

#include <string>
#include <vector>

namespace dvr::inspect {

// What the ELF headers of a file say about it as a shared object: read from the file itself, so
// they are known even when the dynamic loader refuses it (another machine, a missing library).
// Little-endian ELFCLASS32 and ELFCLASS64 files are read.
struct ElfFacts {
    bool read = false;                    // the tables below were read
    std::string error;                    // why not, when read is false
    int elfClass = 0;                     // 32 or 64
    unsigned machine = 0;                 // e_machine
    std::vector<std::string> exported;    // defined, visible symbols of the dynamic symbol table
    std::vector<std::string> needed;      // DT_NEEDED, in order
    std::vector<std::string> searchPaths; // DT_RUNPATH, or DT_RPATH without one, split at ':'
};

ElfFacts ReadElfFacts(const std::string& path);

// An exported name the loader does not look up although it was probably meant as an entry point.
struct NearMiss {
    std::string symbol;
    std::string entryPoint; // the name the loader looks up
    std::string why;
};

// Names in exported that differ from one of the eight entry point names only in case, in leading
// underscores, or by C++ name mangling; names that are exactly an entry point never count.
std::vector<NearMiss> FindNearMisses(const std::vector<std::string>& exported);

// A needed library that cannot be found from the plugin's folder, and the reason.
struct UnresolvedLibrary {
    std::string name;
    std::string reason;
};

// Checks each DT_NEEDED entry of the plugin at pluginPath: a path is checked as it is; a bare name
// is looked for in the plugin's search paths ($ORIGIN is its folder), among the objects already
// mapped, and then by dlopen with the inspector's own search rules. Loads libraries into the
// calling process, so it runs in the forked child only.
std::vector<UnresolvedLibrary> FindUnresolvedLibraries(const ElfFacts& facts, const std::string& pluginPath);

} // namespace dvr::inspect
