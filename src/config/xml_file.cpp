#include "config/xml_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dvr {

namespace {

constexpr const char* PENDING_SUFFIX = ".pending";
constexpr const char* UTF8_BYTE_ORDER_MARK = "\xEF\xBB\xBF";

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

std::string ErrnoText(int error)
{
    return std::to_string(error) + " - " + std::strerror(error);
}

// Parses one file. Anything but a regular file that can be opened counts as "Failed to open
// file": TinyXML would size a directory by seeking to its end and allocate that much.
bool LoadOneFile(XmlDocument& document, const std::string& path)
{
    document.Clear();
    document.ClearError();
    std::unique_ptr<FILE, FileCloser> file;
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor >= 0) {
        file.reset(fdopen(descriptor, "rb"));
        if (!file)
            close(descriptor);
    }
    struct stat status {};
    if (!file || fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
        document.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    // Refused before TinyXML allocates a buffer of the file's size.
    if (status.st_size > static_cast<off_t>(MAX_XML_SIZE)) {
        document.SetCoreError(XML_ERROR_TOO_LARGE, XML_ERROR_TOO_LARGE_TEXT);
        return false;
    }
    document.LoadFile(file.get());
    return !document.Error();
}

// Makes a rename in the folder of name durable. A failure costs only that durability.
void SyncFolderOf(const std::string& name)
{
    size_t slash = name.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    (void)fsync(descriptor);
    close(descriptor);
}

// Writes text to path and syncs it. Returns the reason for a failure, or empty on success.
std::string WritePendingFile(const std::string& path, const std::string& text)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return "create error " + ErrnoText(errno);

    std::string failure;
    size_t written = std::fwrite(text.data(), 1, text.size(), file);
    if (std::ferror(file))
        failure = "write error " + ErrnoText(errno);
    // A full disk may only show when the buffer is flushed.
    if (std::fflush(file) != 0 && failure.empty())
        failure = "write error " + ErrnoText(errno);
    // Data that may not have reached the disk must not be renamed into place. Devices that
    // cannot be synced answer EINVAL or EROFS; that is not a loss.
    if (fsync(fileno(file)) != 0 && errno != EINVAL && errno != EROFS && failure.empty())
        failure = "write error " + ErrnoText(errno);
    if (std::fclose(file) != 0 && failure.empty())
        failure = "close error " + ErrnoText(errno);
    if (failure.empty() && written != text.size())
        failure = "only wrote " + std::to_string(written) + " of " + std::to_string(text.size()) + " bytes";
    return failure;
}

} // namespace

const char* ParseXmlBytes(TiXmlDocument& document, const char* text, TiXmlParsingData* data)
{
    // TinyXML in UTF-8 mode (chosen by a byte-order mark or by a declaration without another
    // encoding) steps over a lead byte and the bytes it announces, even over "</" or a closing
    // quote; read byte by byte, every byte is itself. The mark is skipped here because TinyXML
    // skips it only in UTF-8 mode.
    if (text != nullptr && std::strncmp(text, UTF8_BYTE_ORDER_MARK, 3) == 0)
        text += 3;
    return document.TiXmlDocument::Parse(text, data, TIXML_ENCODING_LEGACY);
}

int XmlTreeDepth(const TiXmlNode& root)
{
    int deepest = 0;
    std::vector<std::pair<const TiXmlNode*, int>> pending{{&root, 0}};
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        for (const TiXmlElement* child = node->FirstChildElement(); child != nullptr;
             child = child->NextSiblingElement()) {
            deepest = std::max(deepest, depth + 1);
            pending.emplace_back(child, depth + 1);
        }
    }
    return deepest;
}

const char* XmlDocument::Parse(const char* text, TiXmlParsingData* data, TiXmlEncoding /*encoding*/)
{
    coreErrorId_ = 0;
    coreErrorDesc_.clear();
    if (text != nullptr && strnlen(text, MAX_XML_SIZE + 1) > MAX_XML_SIZE) {
        TiXmlDocument::ClearError();
        SetCoreError(XML_ERROR_TOO_LARGE, XML_ERROR_TOO_LARGE_TEXT);
        return nullptr;
    }
    if (text != nullptr && XmlNestingDepth(text, MAX_XML_DEPTH) > MAX_XML_DEPTH) {
        TiXmlDocument::ClearError();
        SetCoreError(XML_ERROR_TOO_DEEP, XML_ERROR_TOO_DEEP_TEXT);
        return nullptr;
    }
    return ParseXmlBytes(*this, text, data);
}

bool XmlDocument::Error() const
{
    return coreErrorId_ != 0 || TiXmlDocument::Error();
}

int XmlDocument::ErrorId() const
{
    return coreErrorId_ != 0 ? coreErrorId_ : TiXmlDocument::ErrorId();
}

const char* XmlDocument::ErrorDesc() const
{
    return coreErrorId_ != 0 ? coreErrorDesc_.c_str() : TiXmlDocument::ErrorDesc();
}

void XmlDocument::ClearError()
{
    coreErrorId_ = 0;
    coreErrorDesc_.clear();
    TiXmlDocument::ClearError();
}

void XmlDocument::SetCoreError(int id, const std::string& description)
{
    coreErrorId_ = id;
    coreErrorDesc_ = description;
}

FileInUseRegistry& FileInUseRegistry::Instance()
{
    static FileInUseRegistry registry;
    return registry;
}

void FileInUseRegistry::Acquire(const std::string& name)
{
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return names_.count(name) == 0; });
    names_.insert(name);
}

void FileInUseRegistry::Release(const std::string& name)
{
    {
        std::lock_guard lock(mutex_);
        names_.erase(name);
    }
    released_.notify_all();
}

FileInUse::FileInUse(const std::string& name)
    : name_(name)
{
    FileInUseRegistry::Instance().Acquire(name_);
}

FileInUse::~FileInUse()
{
    FileInUseRegistry::Instance().Release(name_);
}

bool LoadXmlFile(XmlDocument& document, const std::string& name)
{
    FileInUse inUse(name);
    const std::string pending = name + PENDING_SUFFIX;
    // Only a pending file that parses is complete: a save syncs it before it could be renamed.
    if (LoadOneFile(document, pending)) {
        if (std::rename(pending.c_str(), name.c_str()) == 0)
            SyncFolderOf(name);
        return true;
    }
    return LoadOneFile(document, name);
}

int SetAsideUnreadableXmlFile(const std::string& name)
{
    FileInUse inUse(name);
    struct stat status {};
    if (stat(name.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return ENOENT;
    const std::string aside = name + XML_UNREADABLE_SUFFIX;
    if (std::rename(name.c_str(), aside.c_str()) != 0)
        return errno;
    SyncFolderOf(name);
    return 0;
}

bool SaveXmlFile(XmlDocument& document, const std::string& name)
{
    const std::string text = PrintXmlIndented(document);
    FileInUse inUse(name);
    const std::string pending = name + PENDING_SUFFIX;

    std::string failure = WritePendingFile(pending, text);
    if (!failure.empty()) {
        unlink(pending.c_str());
        document.SetCoreError(XML_ERROR_SAVE, failure);
        return false;
    }
    if (std::rename(pending.c_str(), name.c_str()) != 0) {
        int error = errno;
        // The pending file was written but is gone: something outside this process moved it.
        if (error == ENOENT)
            return true;
        // The pending file stays: it is complete, and the next load promotes it.
        document.SetCoreError(XML_ERROR_SAVE, "Failed to rename .xml.pending to .xml file " + ErrnoText(error));
        return false;
    }
    SyncFolderOf(name);
    return true;
}

bool ParseXmlText(XmlDocument& document, const std::string& text)
{
    document.Clear();
    document.ClearError();
    document.Parse(text.c_str());
    return !document.Error();
}

std::string PrintXmlIndented(const TiXmlNode& node)
{
    TiXmlPrinter printer;
    printer.SetIndent("    ");
    printer.SetLineBreak("\n");
    node.Accept(&printer);
    return printer.Str();
}

std::string PrintXmlStream(const TiXmlNode& node)
{
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    node.Accept(&printer);
    return printer.Str();
}

} // namespace dvr
