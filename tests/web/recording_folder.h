// A recordings folder for the web view's tests: camera and day folders, index lines and files
// shaped like the recorder's (ftyp, moov, then moof + mdat fragments).
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace web::test {

// A top-level box of size bytes (at least 8) of type, filled with fill.
inline std::string Box(const char* type, uint32_t size, char fill = 'x')
{
    std::string box(size, fill);
    box[0] = static_cast<char>(size >> 24);
    box[1] = static_cast<char>(size >> 16);
    box[2] = static_cast<char>(size >> 8);
    box[3] = static_cast<char>(size);
    box.replace(4, 4, type);
    return box;
}

// A file of two whole fragments (BYTES_WHOLE bytes), and a third cut short after TAIL bytes.
constexpr size_t BYTES_WHOLE = 24 + 16 + 2 * (16 + 64);
inline std::string FragmentedFile(size_t tail = 0)
{
    std::string file = Box("ftyp", 24) + Box("moov", 16);
    for (int i = 0; i < 2; ++i)
        file += Box("moof", 16) + Box("mdat", 64, static_cast<char>('a' + i));
    return file + (Box("moof", 16) + Box("mdat", 64)).substr(0, tail);
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace web::test
