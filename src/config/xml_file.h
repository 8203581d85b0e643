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
// The largest file or text the core parses: its configuration is a few kilobytes, and TinyXML
// holds a file twice (read buffer and tree) while it parses.
constexpr size_t MAX_XML_SIZE = size_t{4} * 1024 * 1024;
// Error id and description of a file or text larger than MAX_XML_SIZE.
constexpr int XML_ERROR_TOO_LARGE = 18;
constexpr const char* XML_ERROR_TOO_LARGE_TEXT = "Document too large (exceeds the 4 MiB limit)";
// What a file that the core could not read is renamed to (name followed by this) before a save
// replaces it.
constexpr const char* XML_UNREADABLE_SUFFIX = ".bad";

// Parses text into document the way the core reads every document: byte by byte
// (TIXML_ENCODING_LEGACY, whatever a declaration says), after skipping one leading UTF-8
// byte-order mark. Reading byte by byte is what XmlNestingDepth counts, and it gives back every
// byte the core writes. No depth or size check: TinyXML recurses once per level, so only
// XmlDocument::Parse and checks of the depth scan call this.
const char* ParseXmlBytes(TiXmlDocument& document, const char* text, TiXmlParsingData* data = nullptr);

// The deepest element nesting of a parsed tree, found without recursion (what the depth scan
// must never count short of).
int XmlTreeDepth(const TiXmlNode& root);

// A TinyXML document whose every parse first checks the size and the nesting depth, and which
// can carry the core's own errors (too large, too deep, save failures) besides TinyXML's. Read
// the outcome through Error(), ErrorId() and ErrorDesc() of this class: they hide TinyXML's and
// cover both.
class XmlDocument : public TiXmlDocument {
public:
    XmlDocument() = default;

    // Refuses text larger than MAX_XML_SIZE or nested deeper than MAX_XML_DEPTH without parsing
    // any of it; otherwise parses it through ParseXmlBytes (encoding is not used). Also reached
    // through TinyXML's LoadFile.
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
// the error (TinyXML's, 2 "Failed to open file" for a missing file, XML_ERROR_TOO_LARGE before
// reading a file larger than MAX_XML_SIZE, or XML_ERROR_TOO_DEEP).
bool LoadXmlFile(XmlDocument& document, const std::string& name);

// Renames the regular file name to name + XML_UNREADABLE_SUFFIX, replacing an older one, so that
// the next save does not destroy the only copy of a file the core could not read. Returns 0 when
// it was renamed, ENOENT when name is not a regular file, otherwise the errno of the rename.
int SetAsideUnreadableXmlFile(const std::string& name);

// Writes document (indented by four spaces) to name atomically: into name + ".pending", synced,
// then renamed over name, then the folder synced. On false the document's error id is 2 and its
// description says why; a failed write removes the pending file and leaves name as it was.
bool SaveXmlFile(XmlDocument& document, const std::string& name);

// Parses text into document after clearing it, with the same size and depth limits. True on
// success.
bool ParseXmlText(XmlDocument& document, const std::string& text);

// node as text, indented by four spaces per level with a newline after each node (files).
std::string PrintXmlIndented(const TiXmlNode& node);
// node as one line without indentation (documents sent to plugins).
std::string PrintXmlStream(const TiXmlNode& node);

} // namespace dvr
