// LoadXmlFile and LoadConfiguration on arbitrary file contents. The first input byte says where
// the rest goes: core.xml, core.xml.pending (a save cut short or complete), product.xml, or
// several of them. A document that loads must be no deeper than the core's limit; a refusal for
// depth must carry its own error id and text; every log line must fit the core's line buffer.
// On every input, the depth scan must count at least as deep as the tree TinyXML builds from the
// same text in the core's reading mode.
#include <string>
#include <vector>

#include "config/configuration.h"
#include "config/xml_file.h"
#include "fuzz_support.h"
#include "xml_depth_oracle.h"

namespace {

// The log callback of LoadConfiguration: reads every byte of each line it is given.
int LogSink(void* in, void* out)
{
    auto* event = static_cast<_EventParmsIn*>(in);
    FUZZ_CHECK(event->eventType == EVT_LOG);
    if (event->eventFlags & EVF_LOG_MESSAGE) {
        FUZZ_CHECK(event->len >= 1 && event->len <= dvr::LOG_TEXT_MAX + 1);
        const auto* text = static_cast<const char*>(event->data);
        FUZZ_CHECK(text[event->len - 1] == '\0');
    }
    static_cast<_EventParmsOut*>(out)->result = -1; // no threshold: every line is formatted
    return 0;
}

void WriteBytes(const char* name, const uint8_t* data, size_t size)
{
    FILE* file = fopen(name, "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(fwrite(data, 1, size, file) == size);
    fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dvr::fuzz::EnterScratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t where = data[0];
    ++data;
    --size;
    if (where & 1)
        WriteBytes("core.xml", data, size);
    if (where & 2)
        WriteBytes("core.xml.pending", data, size);
    if (where & 4)
        WriteBytes("product.xml", data, size);
    dvr::fuzz::CheckDepthScan(std::string(reinterpret_cast<const char*>(data), size));

    dvr::XmlDocument document;
    bool loaded = dvr::LoadXmlFile(document, (where & 7) == 4 ? "product.xml" : "core.xml");
    if (loaded)
        FUZZ_CHECK(!document.Error() && dvr::XmlTreeDepth(document) <= dvr::MAX_XML_DEPTH);
    else
        FUZZ_CHECK(document.Error());
    if (document.ErrorId() == dvr::XML_ERROR_TOO_DEEP)
        FUZZ_CHECK(strcmp(document.ErrorDesc(), dvr::XML_ERROR_TOO_DEEP_TEXT) == 0);

    dvr::CoreSettings settings;
    dvr::LogLevelTable logLevels;
    dvr::LoadConfiguration(settings, logLevels, LogSink);
    // Entry 0 is the core's, and only core.xml changes it.
    if (!(where & 3))
        FUZZ_CHECK(logLevels.Get(0) == 25);

    remove("core.xml");
    remove("core.xml.pending");
    remove("product.xml");
    return 0;
}
