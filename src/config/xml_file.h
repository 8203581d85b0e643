#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

#include <tinyxml.h>

#include "config/xml_depth.h"

namespace dvr {

// Error id and description of a document nested deeper than MAX_XML_DEPTH elements.
constexpr int XML_ERROR_TOO_DEEP = 17;
constexpr const char* XML_ERROR_TOO_DEEP_TEXT =
    "Elements nested too deeply (exceeds the configured maximum parse depth).";
// Error id of a failed save; the description says why.
constexpr int XML_ERROR_SAVE = 2;

// A TinyXML document whose every parse first checks the nesting depth, and which can carry the
// core's own errors (too deep, save failures) besides TinyXML's. Read the outcome through
// Error(), ErrorId() and ErrorDesc() of this class: they hide TinyXML's and cover both.
class XmlDocument : public TiXmlDocument {
public:
    XmlDocument() = default;

    // Refuses text nested deeper than MAX_XML_DEPTH without parsing any of it; otherwise TinyXML
    // parses. Also reached through TinyXML's LoadFile.
    const char* Parse(const char* text, TiXmlParsingData* data = nullptr,
                      TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING) override;

    bool Error() const;
    int ErrorId() const;
    const char* ErrorDesc() const;
    // Forgets the core's error and TinyXML's.
    void ClearError();
    // Records an error of the core; replaces any earlier one.
    void SetCoreError(int id, const std::string& description);

private:
    int coreErrorId_ = 0;       // 0 when the core recorded no error
    std::string coreErrorDesc_; // description of coreErrorId_
};

// The names of the XML files that a load or save is working on, process-wide. A load and a save
// of one name never overlap; names are compared exactly as given. Guarded by mutex_.
class FileInUseRegistry {
public:
    static FileInUseRegistry& Instance();

    // Blocks until name is free, then registers it. Any thread.
    void Acquire(const std::string& name);
    // Removes name and wakes the waiters. Any thread.
    void Release(const std::string& name);

private:
    std::mutex mutex_;
    std::condition_variable released_; // signalled whenever a name is released
    std::set<std::string> names_;      // the names in use
};

// Holds a name in the registry for its own lifetime.
class FileInUse {
public:
    explicit FileInUse(const std::string& name);
    ~FileInUse();
    FileInUse(const FileInUse&) = delete;
    FileInUse& operator=(const FileInUse&) = delete;

private:
    std::string name_; // the name held
};

// Loads name into document. A complete name + ".pending" left by an interrupted save is newer:
// it is renamed over name and used. True when a file was parsed; on false the document carries
// the error (TinyXML's, 2 "Failed to open file" for a missing file, or XML_ERROR_TOO_DEEP).
bool LoadXmlFile(XmlDocument& document, const std::string& name);

// Writes document (indented by four spaces) to name atomically: into name + ".pending", synced,
// then renamed over name, then the folder synced. On false the document's error id is 2 and its
// description says why; a failed write removes the pending file and leaves name as it was.
bool SaveXmlFile(XmlDocument& document, const std::string& name);

// Parses text into document after clearing it, with the same depth limit. True on success.
bool ParseXmlText(XmlDocument& document, const std::string& text);

// node as text, indented by four spaces per level with a newline after each node (files).
std::string PrintXmlIndented(const TiXmlNode& node);
// node as one line without indentation (documents sent to plugins).
std::string PrintXmlStream(const TiXmlNode& node);

} // namespace dvr
