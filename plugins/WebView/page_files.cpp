#include "page_files.h"

#include <string>

namespace webview {

const EmbeddedFile* FindPageFile(std::string_view path)
{
    std::string_view name;
    if (path == "/")
        name = "/index.html";
    else if (path.starts_with("/page/"))
        name = path.substr(5);
    else
        return nullptr;
    for (size_t i = 0; i < PAGE_FILE_COUNT; ++i)
        if (PAGE_FILES[i].path == name)
            return &PAGE_FILES[i];
    return nullptr;
}

std::string_view PageContentType(std::string_view path)
{
    if (path.ends_with(".html"))
        return "text/html; charset=utf-8";
    if (path.ends_with(".css"))
        return "text/css; charset=utf-8";
    if (path.ends_with(".js"))
        return "text/javascript; charset=utf-8";
    if (path.ends_with(".svg"))
        return "image/svg+xml";
    return "application/octet-stream";
}

std::optional<StringResponse> PageReply(const Request& request)
{
    const std::string_view target(request.target().data(), request.target().size());
    const EmbeddedFile* file = FindPageFile(target.substr(0, target.find('?')));
    if (file == nullptr)
        return std::nullopt;
    if (request.method() != http::verb::get) {
        StringResponse response{http::status::method_not_allowed, request.version()};
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.set(http::field::allow, "GET");
        response.body() = "GET only\n";
        return response;
    }
    const auto match = request[http::field::if_none_match];
    const bool unchanged = std::string_view(match.data(), match.size()).find(file->etag) != std::string_view::npos;
    StringResponse response{unchanged ? http::status::not_modified : http::status::ok, request.version()};
    response.set(http::field::content_type, std::string(PageContentType(file->path)));
    response.set(http::field::etag, file->etag);
    // Checked each time: a new plugin serves new files under the same names.
    response.set(http::field::cache_control, "no-cache");
    if (!unchanged)
        response.body().assign(file->bytes.data(), file->bytes.size());
    return response;
}

} // namespace webview
