// The walk of a fragmented MP4 file's top-level boxes; see fragment_scan.h. The file comes from
// disk after a crash and is read as hostile input: every size is checked against what is left.
#include "fragment_scan.h"

#include "fragment_timing.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace recindex {
namespace {

constexpr uint64_t BOX_HEADER = 8;        // 32-bit size and type
constexpr uint64_t LARGE_BOX_HEADER = 16; // then the 64-bit largesize, when size is 1

// Reads exactly count bytes at offset; false on an error or an early end.
bool ReadAt(int fd, unsigned char* buffer, size_t count, uint64_t offset)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd, buffer + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

uint64_t BigEndian(const unsigned char* bytes, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

} // namespace

FragmentScan ScanFragments(const std::string& path)
{
    // Never through a symlink, and a FIFO under a segment's name must not block the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return FragmentScan{};
    const FragmentScan scan = ScanFragments(fd);
    close(fd);
    return scan;
}

FragmentScan ScanFragments(int fd)
{
    FragmentScan scan;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return scan;
    scan.readable = true;
    scan.fileBytes = static_cast<uint64_t>(info.st_size);

    bool moofBefore = false; // the box just walked was a whole moof after the header
    TrackTiming track;
    uint64_t ticks = 0, moofTicks = 0; // of the whole fragments, of the moof just walked
    std::string body;
    // The body of the box at offset when it is small enough to read, else empty.
    const auto readBody = [&](uint64_t offset, uint64_t size, uint64_t headerBytes) {
        body.clear();
        if (size - headerBytes <= MAX_TIMING_BOX) {
            body.resize(size - headerBytes);
            if (!ReadAt(fd, reinterpret_cast<unsigned char*>(body.data()), body.size(), offset + headerBytes))
                body.clear();
        }
        return std::string_view(body);
    };
    for (uint64_t offset = 0; scan.fileBytes - offset >= BOX_HEADER;) {
        unsigned char header[LARGE_BOX_HEADER];
        if (!ReadAt(fd, header, BOX_HEADER, offset))
            break;
        uint64_t size = BigEndian(header, 4);
        uint64_t headerBytes = BOX_HEADER;
        if (size == 1) {
            if (scan.fileBytes - offset < LARGE_BOX_HEADER || !ReadAt(fd, header + 8, 8, offset + 8))
                break;
            size = BigEndian(header + 8, 8);
            headerBytes = LARGE_BOX_HEADER;
        }
        // Also ends the walk at size 0: "to the end of the file" is no promise in a cut file.
        if (size < headerBytes || size > scan.fileBytes - offset)
            break;
        const auto is = [&](const char* type) { return std::memcmp(header + 4, type, 4) == 0; };
        if (offset == 0 && !is("ftyp"))
            break; // not a file this recorder wrote
        if (is("moov") && offset > 0 && scan.fragments == 0) {
            scan.header = true;
            track = ReadTrackTiming(readBody(offset, size, headerBytes));
        }
        if (is("mdat") && moofBefore) {
            ++scan.fragments;
            scan.wholeBytes = offset + size;
            ticks = moofTicks > UINT64_MAX - ticks ? UINT64_MAX : ticks + moofTicks;
        }
        moofBefore = is("moof") && scan.header;
        moofTicks = moofBefore && track.Known() ? FragmentTicks(readBody(offset, size, headerBytes), track) : 0;
        offset += size;
    }
    scan.durationNs = TicksToNs(ticks, track.timescale);
    return scan;
}

} // namespace recindex
