/*
 * plugin_parent_peer: the parent link's counterpart in the tests. Provider ID 0x00300000, so
 * parent packets with target 0x030xxxxx reach it. Every IOCTL_PARENT packet it gets is appended to
 * parent_peer.log in the working folder as "packet LENGTH TARGET COMMAND PAYLOAD-LENGTH CHECKSUM".
 * A packet with command 100 and the payload "send COUNT SIZE" makes it send COUNT blocks of SIZE
 * bytes to the parent with EVT_PARENT_SEND (block i filled with the byte 'a' + i); the results are
 * logged as "sent RESULT". At Open it sends one 5-byte block "hello" and logs its result as
 * "open-send RESULT". A packet with command 101 makes its IOCTL fail with 9 and error 3.
 */
#include <dvrcore/plugin_api.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PEER_EXPORT __attribute__((visibility("default")))

static PluginEntryPoint coreCallback; /* set by Load */

static void Append(const char* line)
{
    FILE* log = fopen("parent_peer.log", "a");
    if (log == NULL)
        return;
    fprintf(log, "%s\n", line);
    fclose(log);
}

static int SendToParent(const void* bytes, uint32_t length)
{
    void* block = malloc(length);
    _EventParmsIn in = DvrParentSendEvent(0x00300000u, block, length);
    _EventParmsOut out = DvrEventParmsOut();
    out.result = 99; /* shows whether the core answered */
    memcpy(block, bytes, length);
    coreCallback(&in, &out);
    return out.result;
}

PEER_EXPORT int Load(void* in, void* out)
{
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    coreCallback = ((_LoadParmsIn*)in)->callback;
    self->providerID = 0x00300000u;
    return 0;
}

PEER_EXPORT int Open(void* in, void* out)
{
    char line[64];
    (void)in;
    (void)out;
    snprintf(line, sizeof line, "open-send %d", SendToParent("hello", 5));
    Append(line);
    return 0;
}

PEER_EXPORT int IOCTL(void* in, void* out)
{
    _IoctlParmsIn* parms = (_IoctlParmsIn*)in;
    _IoctlParmsOut* result = (_IoctlParmsOut*)out;
    const unsigned char* packet = (const unsigned char*)parms->data;
    _ParentPacketHeader header;
    unsigned long checksum = 0;
    uint32_t i;
    char line[256];

    if (parms->command != IOCTL_PARENT)
        return 0;
    memcpy(&header, packet, sizeof header);
    for (i = PARENT_PACKET_HEADER_SIZE; i < parms->len; ++i)
        checksum = checksum * 31 + packet[i];
    snprintf(line, sizeof line, "packet %u 0x%08x %u %u %lu", parms->len, header.target, header.command,
             parms->len - PARENT_PACKET_HEADER_SIZE, checksum);
    Append(line);

    if (header.command == 100) {
        char text[64];
        unsigned count = 0;
        unsigned size = 0;
        uint32_t length = parms->len - PARENT_PACKET_HEADER_SIZE;
        if (length >= sizeof text)
            length = sizeof text - 1;
        memcpy(text, packet + PARENT_PACKET_HEADER_SIZE, length);
        text[length] = 0;
        if (sscanf(text, "send %u %u", &count, &size) == 2) {
            unsigned n;
            for (n = 0; n < count; ++n) {
                char* block = malloc(size);
                memset(block, 'a' + (int)n, size);
                snprintf(line, sizeof line, "sent %d", SendToParent(block, size));
                free(block);
                Append(line);
            }
        }
    }
    if (header.command == 101) {
        result->error = 3;
        return 9;
    }
    return 0;
}
