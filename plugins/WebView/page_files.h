// The page at "/": HTML, CSS and JavaScript modules built into the plugin (cmake/embed_files.cmake
// makes PAGE_FILES from plugins/WebView/page/), served from memory with an entity tag. Any thread.
#pragma once

#include "web_server.h"

#include <cstddef>
#include <optional>
#include <string_view>

namespace webview {

struct EmbeddedFile {
    std::string_view path; // "/index.html", "/app.js"...
    std::string_view bytes;
    const char* etag; // quoted
};

extern const EmbeddedFile PAGE_FILES[];
extern const size_t PAGE_FILE_COUNT;

// The file a request path names: "/" is the page itself, "/page/<name>" the files it loads.
const EmbeddedFile* FindPageFile(std::string_view path);

// The media type of a file, by its name's ending.
std::string_view PageContentType(std::string_view path);

// The answer for a page file when the request names one (200, or 304 when If-None-Match holds its
// tag; 405 for a method other than GET); nothing when it names none. Needs no login:
// the page holds no camera's data, and it is what asks for the login.
std::optional<StringResponse> PageReply(const Request& request);

} // namespace webview
