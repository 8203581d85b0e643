#include "elf_symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "plugins/plugin_loading.h"

namespace dvr::inspect {
namespace {

// Larger files are not plugins worth reading whole.
constexpr std::streamoff MAX_FILE_SIZE = std::streamoff(1) << 30;

struct Elf32Types {
    using Ehdr = Elf32_Ehdr;
    using Shdr = Elf32_Shdr;
    using Sym = Elf32_Sym;
    using Dyn = Elf32_Dyn;
};
struct Elf64Types {
    using Ehdr = Elf64_Ehdr;
    using Shdr = Elf64_Shdr;
    using Sym = Elf64_Sym;
    using Dyn = Elf64_Dyn;
};

// Bounds-checked reads from the file's bytes.
class Bytes {
public:
    explicit Bytes(std::string data)
        : data_(std::move(data))
    {
    }
    template <typename T>
    bool Read(uint64_t offset, T& value) const
    {
        if (offset > data_.size() || data_.size() - offset < sizeof(T))
            return false;
        memcpy(&value, data_.data() + offset, sizeof(T));
        return true;
    }
    // The zero-terminated string at offset inside the table [start, start + size).
    std::string String(uint64_t start, uint64_t size, uint64_t offset) const
    {
        if (start > data_.size() || size > data_.size() - start || offset >= size)
            return {};
        const char* begin = data_.data() + start + offset;
        return std::string(begin, strnlen(begin, size - offset));
    }
    size_t Size() const { return data_.size(); }

private:
    std::string data_;
};

template <typename Types>
bool ReadTables(const Bytes& bytes, ElfFacts& facts)
{
    typename Types::Ehdr header;
    if (!bytes.Read(0, header))
        return false;
    facts.machine = header.e_machine;
    std::vector<typename Types::Shdr> sections;
    uint64_t count = header.e_shnum;
    if (header.e_shoff != 0 && header.e_shentsize != sizeof(typename Types::Shdr))
        return false;
    if (count == 0 && header.e_shoff != 0) { // more sections than e_shnum holds: the count is in section 0
        typename Types::Shdr first;
        if (!bytes.Read(header.e_shoff, first))
            return false;
        count = first.sh_size;
    }
    if (count > bytes.Size() / sizeof(typename Types::Shdr))
        return false;
    for (uint64_t i = 0; i < count; ++i) {
        typename Types::Shdr section;
        if (!bytes.Read(header.e_shoff + i * sizeof section, section))
            return false;
        sections.push_back(section);
    }
    for (const auto& section : sections) {
        if ((section.sh_type != SHT_DYNSYM && section.sh_type != SHT_DYNAMIC) || section.sh_link >= sections.size())
            continue;
        const auto& strings = sections[section.sh_link];
        if (section.sh_type == SHT_DYNSYM) {
            for (uint64_t offset = 0; offset + sizeof(typename Types::Sym) <= section.sh_size;
                 offset += sizeof(typename Types::Sym)) {
                typename Types::Sym symbol;
                if (!bytes.Read(section.sh_offset + offset, symbol))
                    break;
                unsigned bind = ELF64_ST_BIND(symbol.st_info);
                unsigned visibility = ELF64_ST_VISIBILITY(symbol.st_other);
                if (symbol.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK) ||
                    (visibility != STV_DEFAULT && visibility != STV_PROTECTED))
                    continue;
                std::string name = bytes.String(strings.sh_offset, strings.sh_size, symbol.st_name);
                if (!name.empty())
                    facts.exported.push_back(std::move(name));
            }
            continue;
        }
        std::string runPath;
        std::string rPath;
        for (uint64_t offset = 0; offset + sizeof(typename Types::Dyn) <= section.sh_size;
             offset += sizeof(typename Types::Dyn)) {
            typename Types::Dyn entry;
            if (!bytes.Read(section.sh_offset + offset, entry) || entry.d_tag == DT_NULL)
                break;
            std::string text = bytes.String(strings.sh_offset, strings.sh_size, entry.d_un.d_val);
            if (entry.d_tag == DT_NEEDED)
                facts.needed.push_back(text);
            else if (entry.d_tag == DT_RUNPATH)
                runPath = text;
            else if (entry.d_tag == DT_RPATH)
                rPath = text;
        }
        const std::string& paths = runPath.empty() ? rPath : runPath;
        for (size_t start = 0; start < paths.size();) {
            size_t end = paths.find(':', start);
            if (end == std::string::npos)
                end = paths.size();
            if (end > start)
                facts.searchPaths.push_back(paths.substr(start, end - start));
            start = end + 1;
        }
    }
    return true;
}

// The function name a C++ symbol was mangled from, without scope and parameters; empty when the
// name is not a mangled one.
std::string DemangledBaseName(const std::string& symbol)
{
    if (symbol.rfind("_Z", 0) != 0)
        return {};
    int status = 0;
    std::unique_ptr<char, decltype(&free)> demangled(abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status),
                                                     &free);
    if (status != 0 || demangled == nullptr)
        return {};
    std::string name = demangled.get();
    if (size_t parameters = name.find('('); parameters != std::string::npos)
        name.resize(parameters);
    size_t scope = name.rfind("::");
    return scope == std::string::npos ? name : name.substr(scope + 2);
}

std::string ExpandOrigin(std::string path, const std::string& origin)
{
    for (const char* token : {"${ORIGIN}", "$ORIGIN"}) {
        for (size_t at = path.find(token); at != std::string::npos; at = path.find(token, at + origin.size()))
            path.replace(at, strlen(token), origin);
    }
    return path;
}

} // namespace

ElfFacts ReadElfFacts(const std::string& path)
{
    ElfFacts facts;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        facts.error = "the file cannot be opened";
        return facts;
    }
    file.seekg(0, std::ios::end);
    std::streamoff size = file.tellg();
    if (size < 0 || size > MAX_FILE_SIZE) {
        facts.error = "the file's size cannot be read, or it is over 1 GiB";
        return facts;
    }
    file.seekg(0);
    Bytes bytes(std::string(std::istreambuf_iterator<char>(file), {}));
    unsigned char ident[EI_NIDENT];
    if (!bytes.Read(0, ident) || memcmp(ident, ELFMAG, SELFMAG) != 0) {
        facts.error = "not an ELF file";
        return facts;
    }
    if (ident[EI_DATA] != ELFDATA2LSB) {
        facts.error = "not a little-endian ELF file";
        return facts;
    }
    bool read = false;
    if (ident[EI_CLASS] == ELFCLASS32) {
        facts.elfClass = 32;
        read = ReadTables<Elf32Types>(bytes, facts);
    } else if (ident[EI_CLASS] == ELFCLASS64) {
        facts.elfClass = 64;
        read = ReadTables<Elf64Types>(bytes, facts);
    } else {
        facts.error = "an ELF file of unknown class";
        return facts;
    }
    if (!read)
        facts.error = "its section headers are damaged";
    facts.read = read;
    return facts;
}

std::vector<NearMiss> FindNearMisses(const std::vector<std::string>& exported)
{
    std::vector<NearMiss> misses;
    for (const std::string& symbol : exported) {
        for (const char* entry : ENTRY_POINT_NAMES) {
            if (symbol == entry)
                break;
            std::string stripped = symbol.substr(std::min(symbol.find_first_not_of('_'), symbol.size()));
            std::string demangled = DemangledBaseName(symbol);
            if (!demangled.empty() && strcasecmp(demangled.c_str(), entry) == 0)
                misses.push_back({symbol, entry, "a C++ mangled name (declare the function extern \"C\")"});
            else if (strcasecmp(symbol.c_str(), entry) == 0)
                misses.push_back({symbol, entry, "differs only in case (names are case-sensitive)"});
            else if (demangled.empty() && stripped != symbol && strcasecmp(stripped.c_str(), entry) == 0)
                misses.push_back({symbol, entry, "leading underscores"});
            else
                continue;
            break;
        }
    }
    return misses;
}

std::vector<UnresolvedLibrary> FindUnresolvedLibraries(const ElfFacts& facts, const std::string& pluginPath)
{
    std::vector<UnresolvedLibrary> unresolved;
    size_t slash = pluginPath.rfind('/');
    std::string origin = slash == std::string::npos ? "." : pluginPath.substr(0, slash);
    for (const std::string& name : facts.needed) {
        if (name.find('/') != std::string::npos) {
            if (access(name.c_str(), R_OK) != 0)
                unresolved.push_back({name, "the path cannot be read: " + std::string(strerror(errno))});
            continue;
        }
        bool found = false;
        for (const std::string& folder : facts.searchPaths)
            found = found || access((ExpandOrigin(folder, origin) + "/" + name).c_str(), R_OK) == 0;
        if (found || dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD) != nullptr)
            continue;
        dlerror();
        if (dlopen(name.c_str(), RTLD_LAZY) == nullptr) {
            const char* reason = dlerror();
            unresolved.push_back({name, reason != nullptr ? reason : "not found"});
        }
    }
    return unresolved;
}

} // namespace dvr::inspect
