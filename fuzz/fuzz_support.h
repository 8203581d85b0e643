// What every fuzz target shares: a core whose console is a byte sink, a private working folder on
// a memory file system, a reader of little-endian fields from the input, and the check that turns
// a broken expectation into a finding.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/dvrcore.h"
#include "log/console_line.h"

namespace dvr::fuzz {

// A broken expectation is a finding: say which and abort, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                              \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

// A core that writes no console line and no syslog line, but reads every byte of each line it
// is given, so a line read past its sender's buffer is found by the address checker.
class FuzzCore : public dvrcore {
public:
    FuzzCore()
        : dvrcore("/nonexistent/dvrcore")
    {
    }

    void WriteLogLine(uint32_t, uint32_t, const char* text, size_t length) override
    {
        if (text == nullptr)
            return;
        std::string_view line = LogMessageText(text, length);
        FUZZ_CHECK(line.size() <= LOG_TEXT_MAX);
        for (char c : line)
            checksum_ += static_cast<unsigned char>(c);
    }

private:
    std::atomic<uint32_t> checksum_{0}; // keeps the reads from being optimised away
};

// Makes a fresh folder under /dev/shm the working folder for the rest of the run, so the saves
// of core.xml cost no disk writes; it is removed when the process exits normally. Paths given to
// the fuzzer must therefore be absolute. Once per process.
inline void EnterScratchFolder()
{
    static char folder[] = "/dev/shm/dvrcore-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(folder) != nullptr);
    std::filesystem::current_path(folder);
    atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
}

// Reads fields from the front of the input; past its end every field reads as zero.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size)
        : data_(data),
          size_(size)
    {
    }

    bool Empty() const { return offset_ >= size_; }
    size_t Left() const { return size_ - offset_; }

    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t Word16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Word32()
    {
        uint32_t low = Word16();
        return low | static_cast<uint32_t>(Word16()) << 16;
    }
    // Up to count bytes; fewer at the end of the input.
    const uint8_t* Bytes(size_t& count)
    {
        count = std::min(count, Left());
        const uint8_t* at = data_ + offset_;
        offset_ += count;
        return at;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

} // namespace dvr::fuzz
