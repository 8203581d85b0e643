// The plugin ABI as plugins see it: every record's size and every named field's offset (the exact
// figures of the 32-bit device on a 32-bit build, the naturally widened layout on a 64-bit host),
// and the records the core hands to plugins read back byte by byte at those offsets, in the
// device's little-endian byte order.
#include <dvrcore/plugin_api.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugins/plugin_records.h"

namespace dvr {
namespace {

constexpr bool POINTERS_32 = sizeof(void*) == 4;
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "the ABI is defined for 4- and 8-byte pointers");

// The figure of this target: the device's where pointers are 4 bytes, the widened one otherwise.
constexpr size_t On(size_t on32, size_t on64)
{
    return POINTERS_32 ? on32 : on64;
}

struct Field {
    const char* name;
    size_t offset;   // where the compiler put it
    size_t expected; // where the ABI puts it on this target
};

struct Record {
    const char* name;
    size_t size;
    size_t expectedSize;
    std::vector<Field> fields;
};

#define ABI_FIELD(type, field, on32, on64)                                                                             \
    Field                                                                                                              \
    {                                                                                                                  \
#field, offsetof(type, field), On(on32, on64)                                                                  \
    }
#define ABI_HEADER(type) ABI_FIELD(type, size, 0, 0), ABI_FIELD(type, version, 4, 4)

const std::vector<Record>& AbiRecords()
{
    static const std::vector<Record> records = {
        {"_EventParmsIn",
         sizeof(_EventParmsIn),
         On(184, 192),
         {ABI_HEADER(_EventParmsIn), ABI_FIELD(_EventParmsIn, len, 8, 8), ABI_FIELD(_EventParmsIn, data, 12, 16),
          ABI_FIELD(_EventParmsIn, providerID, 16, 24), ABI_FIELD(_EventParmsIn, streamID, 20, 28),
          ABI_FIELD(_EventParmsIn, eventType, 24, 32), ABI_FIELD(_EventParmsIn, eventFlags, 28, 36),
          ABI_FIELD(_EventParmsIn, extra, 32, 40),
          Field{"logLevel", offsetof(_EventParmsIn, extra) + EVENT_EXTRA_LOG_LEVEL, On(40, 48)},
          Field{"keyFrame", offsetof(_EventParmsIn, extra) + EVENT_EXTRA_KEY_FRAME, On(50, 58)}}},
        {"_EventParmsOut",
         sizeof(_EventParmsOut),
         12,
         {ABI_HEADER(_EventParmsOut), ABI_FIELD(_EventParmsOut, result, 8, 8)}},
        {"_LoadParmsIn",
         sizeof(_LoadParmsIn),
         On(24, 40),
         {ABI_HEADER(_LoadParmsIn), ABI_FIELD(_LoadParmsIn, core, 8, 8), ABI_FIELD(_LoadParmsIn, callback, 12, 16),
          ABI_FIELD(_LoadParmsIn, coreText, 16, 24), ABI_FIELD(_LoadParmsIn, coreTextLength, 20, 32)}},
        {"_LoadParmsOut",
         sizeof(_LoadParmsOut),
         68,
         {ABI_HEADER(_LoadParmsOut), ABI_FIELD(_LoadParmsOut, providerID, 8, 8),
          ABI_FIELD(_LoadParmsOut, classMasks, 12, 12),
          Field{"classMasks[5] (close order key)", offsetof(_LoadParmsOut, classMasks) + 5 * sizeof(uint32_t), 32},
          ABI_FIELD(_LoadParmsOut, reserved1, 48, 48), ABI_FIELD(_LoadParmsOut, wantsWorkerThread, 52, 52),
          ABI_FIELD(_LoadParmsOut, reserved2, 53, 53), ABI_FIELD(_LoadParmsOut, wantsReads, 54, 54),
          ABI_FIELD(_LoadParmsOut, acceptsWrites, 55, 55), ABI_FIELD(_LoadParmsOut, reserved3, 56, 56),
          ABI_FIELD(_LoadParmsOut, error, 60, 60), ABI_FIELD(_LoadParmsOut, logLevelDefault, 64, 64)}},
        {"_OpenParmsIn",
         sizeof(_OpenParmsIn),
         20,
         {ABI_HEADER(_OpenParmsIn), ABI_FIELD(_OpenParmsIn, reserved, 8, 8),
          ABI_FIELD(_OpenParmsIn, shutdownInstance, 16, 16)}},
        {"_OpenParmsOut",
         sizeof(_OpenParmsOut),
         16,
         {ABI_HEADER(_OpenParmsOut), ABI_FIELD(_OpenParmsOut, reserved, 8, 8)}},
        {"_CloseParmsIn",
         sizeof(_CloseParmsIn),
         12,
         {ABI_HEADER(_CloseParmsIn), ABI_FIELD(_CloseParmsIn, reserved, 8, 8)}},
        {"_CloseParmsOut",
         sizeof(_CloseParmsOut),
         12,
         {ABI_HEADER(_CloseParmsOut), ABI_FIELD(_CloseParmsOut, error, 8, 8)}},
        {"_UnloadParmsIn", sizeof(_UnloadParmsIn), 8, {ABI_HEADER(_UnloadParmsIn)}},
        {"_UnloadParmsOut",
         sizeof(_UnloadParmsOut),
         12,
         {ABI_HEADER(_UnloadParmsOut), ABI_FIELD(_UnloadParmsOut, error, 8, 8)}},
        {"_IoctlParmsIn",
         sizeof(_IoctlParmsIn),
         On(28, 32),
         {ABI_HEADER(_IoctlParmsIn), ABI_FIELD(_IoctlParmsIn, command, 8, 8), ABI_FIELD(_IoctlParmsIn, subSize, 12, 12),
          ABI_FIELD(_IoctlParmsIn, subVersion, 16, 16), ABI_FIELD(_IoctlParmsIn, len, 20, 20),
          ABI_FIELD(_IoctlParmsIn, data, 24, 24)}},
        {"_IoctlParmsOut",
         sizeof(_IoctlParmsOut),
         28,
         {ABI_HEADER(_IoctlParmsOut), ABI_FIELD(_IoctlParmsOut, command, 8, 8),
          ABI_FIELD(_IoctlParmsOut, error, 12, 12), ABI_FIELD(_IoctlParmsOut, keep, 16, 16),
          ABI_FIELD(_IoctlParmsOut, subSize, 20, 20), ABI_FIELD(_IoctlParmsOut, subVersion, 24, 24)}},
        {"_ReadParmsIn",
         sizeof(_ReadParmsIn),
         On(28, 40),
         {ABI_HEADER(_ReadParmsIn), ABI_FIELD(_ReadParmsIn, reserved1, 8, 8), ABI_FIELD(_ReadParmsIn, flag, 12, 12),
          ABI_FIELD(_ReadParmsIn, len, 16, 16), ABI_FIELD(_ReadParmsIn, data, 20, 24),
          ABI_FIELD(_ReadParmsIn, streamID, 24, 32)}},
        {"_ReadParmsOut",
         sizeof(_ReadParmsOut),
         20,
         {ABI_HEADER(_ReadParmsOut), ABI_FIELD(_ReadParmsOut, reserved, 8, 8)}},
        {"_WriteParmsIn",
         sizeof(_WriteParmsIn),
         On(192, 200),
         {ABI_HEADER(_WriteParmsIn), ABI_FIELD(_WriteParmsIn, reserved1, 8, 8), ABI_FIELD(_WriteParmsIn, flag, 12, 12),
          ABI_FIELD(_WriteParmsIn, len, 16, 16), ABI_FIELD(_WriteParmsIn, data, 20, 24),
          ABI_FIELD(_WriteParmsIn, providerID, 24, 32), ABI_FIELD(_WriteParmsIn, streamID, 28, 36),
          ABI_FIELD(_WriteParmsIn, eventType, 32, 40), ABI_FIELD(_WriteParmsIn, eventFlags, 36, 44),
          ABI_FIELD(_WriteParmsIn, extra, 40, 48)}},
        {"_WriteParmsOut",
         sizeof(_WriteParmsOut),
         24,
         {ABI_HEADER(_WriteParmsOut), ABI_FIELD(_WriteParmsOut, reserved, 8, 8),
          ABI_FIELD(_WriteParmsOut, error, 16, 16), ABI_FIELD(_WriteParmsOut, keep, 20, 20)}},
        {"_ParentPacketHeader",
         sizeof(_ParentPacketHeader),
         PARENT_PACKET_HEADER_SIZE,
         {ABI_FIELD(_ParentPacketHeader, length, 0, 0), ABI_FIELD(_ParentPacketHeader, target, 4, 4),
          ABI_FIELD(_ParentPacketHeader, command, 8, 8), ABI_FIELD(_ParentPacketHeader, reserved, 12, 12)}},
    };
    return records;
}

TEST(AbiLayout, EveryRecordHasTheSizeOfThisTarget)
{
    for (const Record& record : AbiRecords())
        EXPECT_EQ(record.size, record.expectedSize) << record.name << " on a " << sizeof(void*) * 8 << "-bit build";
}

TEST(AbiLayout, EveryNamedFieldSitsAtItsOffset)
{
    for (const Record& record : AbiRecords()) {
        ASSERT_FALSE(record.fields.empty()) << record.name;
        for (const Field& field : record.fields)
            EXPECT_EQ(field.offset, field.expected) << record.name << "." << field.name;
    }
}

TEST(AbiLayout, WriteRecordCarriesTheEventFromLenOnInTheSameOrder)
{
    // Bytes 8 to 183 of an event are bytes 16 to 191 of a Write record on the device.
    const size_t shift = offsetof(_WriteParmsIn, len) - offsetof(_EventParmsIn, len);
    EXPECT_EQ(shift, 8u);
    EXPECT_EQ(offsetof(_WriteParmsIn, data) - offsetof(_EventParmsIn, data), shift);
    EXPECT_EQ(offsetof(_WriteParmsIn, providerID) - offsetof(_EventParmsIn, providerID), shift);
    EXPECT_EQ(offsetof(_WriteParmsIn, eventFlags) - offsetof(_EventParmsIn, eventFlags), shift);
    EXPECT_EQ(offsetof(_WriteParmsIn, extra) - offsetof(_EventParmsIn, extra), shift);
    EXPECT_EQ(sizeof(_WriteParmsIn) - sizeof(_EventParmsIn), shift);
}

// Reading a record the way a plugin built elsewhere would: raw bytes at fixed offsets.
template <typename RecordType>
uint32_t WordAt(const RecordType& record, size_t offset)
{
    unsigned char bytes[4];
    std::memcpy(bytes, reinterpret_cast<const unsigned char*>(&record) + offset, sizeof bytes);
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

template <typename RecordType>
uint8_t ByteAt(const RecordType& record, size_t offset)
{
    return reinterpret_cast<const unsigned char*>(&record)[offset];
}

template <typename RecordType>
const void* PointerAt(const RecordType& record, size_t offset)
{
    const void* pointer = nullptr;
    std::memcpy(&pointer, reinterpret_cast<const unsigned char*>(&record) + offset, sizeof pointer);
    return pointer;
}

// Offsets of bytes that are not zero, past the header.
template <typename RecordType>
std::vector<size_t> NonZeroBytesAfterHeader(const RecordType& record)
{
    std::vector<size_t> offsets;
    for (size_t offset = 8; offset < sizeof record; ++offset)
        if (ByteAt(record, offset) != 0)
            offsets.push_back(offset);
    return offsets;
}

int NoEvent(void*, void*)
{
    return 0;
}

TEST(AbiBytes, LoadRecordsCarryTheCoreTheCallbackAndTheTextAtTheirOffsets)
{
    int core = 0;
    const _LoadParmsIn in = MakeLoadParmsIn(&core, NoEvent);
    EXPECT_EQ(WordAt(in, 0), On(24, 40));
    EXPECT_EQ(WordAt(in, 4), LOAD_PARMS_IN_VERSION);
    EXPECT_EQ(PointerAt(in, 8), &core);
    EXPECT_EQ(PointerAt(in, On(12, 16)), reinterpret_cast<const void*>(&NoEvent));
    EXPECT_EQ(PointerAt(in, On(16, 24)), CoreText().data());
    EXPECT_EQ(WordAt(in, On(20, 32)), CoreText().size());

    // The plugin's self-description starts out zeroed apart from its header.
    const _LoadParmsOut out = MakeLoadParmsOut();
    EXPECT_EQ(WordAt(out, 0), 68u);
    EXPECT_EQ(WordAt(out, 4), LOAD_PARMS_OUT_VERSION);
    EXPECT_EQ(NonZeroBytesAfterHeader(out), std::vector<size_t>{});
}

TEST(AbiBytes, OpenCloseAndUnloadRecordsHaveTheirSizeVersionAndZeroedFields)
{
    const _OpenParmsIn openIn = MakeOpenParmsIn(1);
    EXPECT_EQ(WordAt(openIn, 0), 20u);
    EXPECT_EQ(WordAt(openIn, 4), OPEN_PARMS_IN_VERSION);
    EXPECT_EQ(NonZeroBytesAfterHeader(openIn), std::vector<size_t>{16}) << "only shutdownInstance, at 16, is set";
    EXPECT_EQ(WordAt(openIn, 16), 1u);

    const _OpenParmsOut openOut = MakeOpenParmsOut();
    EXPECT_EQ(WordAt(openOut, 0), 16u);
    EXPECT_EQ(NonZeroBytesAfterHeader(openOut), std::vector<size_t>{});

    const _CloseParmsIn closeIn = MakeCloseParmsIn();
    const _CloseParmsOut closeOut = MakeCloseParmsOut();
    EXPECT_EQ(WordAt(closeIn, 0), 12u);
    EXPECT_EQ(WordAt(closeOut, 0), 12u);
    EXPECT_EQ(NonZeroBytesAfterHeader(closeIn), std::vector<size_t>{});
    EXPECT_EQ(NonZeroBytesAfterHeader(closeOut), std::vector<size_t>{}) << "error at 8 starts at 0";

    const _UnloadParmsIn unloadIn = MakeUnloadParmsIn();
    const _UnloadParmsOut unloadOut = MakeUnloadParmsOut();
    EXPECT_EQ(WordAt(unloadIn, 0), 8u);
    EXPECT_EQ(WordAt(unloadIn, 4), UNLOAD_PARMS_IN_VERSION);
    EXPECT_EQ(WordAt(unloadOut, 0), 12u);
    EXPECT_EQ(NonZeroBytesAfterHeader(unloadOut), std::vector<size_t>{});
}

TEST(AbiBytes, IoctlRecordsCarryCommandAndSubRecordHeaderAtTheirOffsets)
{
    const _IoctlParmsIn worker = MakeWorkerIoctlParmsIn();
    EXPECT_EQ(WordAt(worker, 0), On(28, 32));
    EXPECT_EQ(WordAt(worker, 4), IOCTL_PARMS_IN_VERSION);
    EXPECT_EQ(WordAt(worker, 8), IOCTL_WORKER);
    EXPECT_EQ(WordAt(worker, 12), IOCTL_SUB_SIZE_NO_DATA);
    EXPECT_EQ(WordAt(worker, 16), IOCTL_SUB_VERSION);
    EXPECT_EQ(WordAt(worker, 20), 0u) << "no data";
    EXPECT_EQ(PointerAt(worker, 24), nullptr);

    const _IoctlParmsOut parent = MakeIoctlParmsOut(IOCTL_PARENT);
    EXPECT_EQ(WordAt(parent, 0), 28u);
    EXPECT_EQ(WordAt(parent, 8), IOCTL_PARENT);
    EXPECT_EQ(WordAt(parent, 12), 0u) << "error";
    EXPECT_EQ(WordAt(parent, 16), 0u) << "keep";
    EXPECT_EQ(WordAt(parent, 20), IOCTL_SUB_SIZE_NO_DATA);
    EXPECT_EQ(WordAt(parent, 24), IOCTL_SUB_VERSION);

    const _IoctlParmsOut unknown = MakeIoctlParmsOut(9);
    EXPECT_EQ(WordAt(unknown, 8), 9u);
    EXPECT_EQ(NonZeroBytesAfterHeader(unknown), std::vector<size_t>{8})
        << "no sub-record header for a command the core does not define";
}

TEST(AbiBytes, ReadAndWriteRecordsPutFlagAndEventFieldsAtTheirOffsets)
{
    const _ReadParmsIn read = MakeAsyncReadParmsIn();
    EXPECT_EQ(WordAt(read, 0), On(28, 40));
    EXPECT_EQ(WordAt(read, 4), READ_PARMS_IN_VERSION);
    EXPECT_EQ(WordAt(read, 8), 0u);
    EXPECT_EQ(WordAt(read, 12), 1u) << "the flag byte, the three after it 0";
    EXPECT_EQ(WordAt(read, 16), 0u);
    EXPECT_EQ(PointerAt(read, On(20, 24)), nullptr);
    EXPECT_EQ(WordAt(read, On(24, 32)), 0u) << "no stream on the asynchronous read thread";
    EXPECT_EQ(WordAt(MakeReadParmsOut(), 0), 20u);

    const std::string text = "abc";
    const _WriteParmsIn write = MakeLogWriteParmsIn(40, text);
    EXPECT_EQ(WordAt(write, 0), On(192, 200));
    EXPECT_EQ(WordAt(write, 4), WRITE_PARMS_IN_VERSION);
    EXPECT_EQ(WordAt(write, 8), 0u);
    EXPECT_EQ(ByteAt(write, 12), 0u);
    EXPECT_EQ(WordAt(write, 16), 3u);
    EXPECT_EQ(PointerAt(write, On(20, 24)), text.data());
    EXPECT_EQ(WordAt(write, On(24, 32)), CORE_PROVIDER_ID);
    EXPECT_EQ(WordAt(write, On(28, 36)), 0u) << "no stream";
    EXPECT_EQ(WordAt(write, On(32, 40)), EVT_LOG);
    EXPECT_EQ(WordAt(write, On(36, 44)), EVF_LOG_MESSAGE);
    EXPECT_EQ(WordAt(write, On(48, 56)), 40u) << "the level, 8 bytes into extra";

    const _WriteParmsOut written = MakeWriteParmsOut();
    EXPECT_EQ(WordAt(written, 0), 24u);
    EXPECT_EQ(NonZeroBytesAfterHeader(written), std::vector<size_t>{}) << "error at 16 and keep at 20 start at 0";
}

} // namespace
} // namespace dvr
