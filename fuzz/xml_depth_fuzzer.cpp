// The depth oracle of xml_file_fuzzer alone, on text in memory: no files and no configuration,
// so it runs many times faster and suits long runs of the nesting scan against TinyXML.
#include "xml_depth_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    dvr::fuzz::CheckDepthScan(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
