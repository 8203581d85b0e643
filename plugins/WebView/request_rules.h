// The rules of the request path, pure functions with no I/O: what a target names, what a query
// says and which bytes a Range header asks for. Callable from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace webview {

enum class RouteKind { NotFound, Login, Cameras, Status, Recordings, RecordingFile, Export, Live };

// What a request target names. For RecordingFile, camera, day ("YYYY-MM-DD") and file
// ("HH-MM-SS[-n].mp4") are each one plain path component: no "..", no '/', no control bytes. For
// Live ("/live/<camera>"), camera is one as well.
struct Route {
    RouteKind kind = RouteKind::NotFound;
    std::string camera;
    std::string day;
    std::string file;
    std::map<std::string, std::string> query; // decoded; a name given twice keeps its first value
};

// The route of a request target "/path?query". Percent escapes are decoded; a bad escape, "%00",
// an empty or dot segment, or a path of no route gives NotFound.
Route ParseRoute(std::string_view target);

// A query value as a whole number of nanoseconds since 1970; nothing when it is missing or not one.
std::optional<int64_t> QueryTime(const Route& route, const std::string& name);

enum class RangeKind {
    Whole,        // no Range, or one this server ignores (several ranges, not bytes, malformed): 200
    Partial,      // 206 with Content-Range
    Unsatisfiable // 416 with "Content-Range: bytes */size"
};

struct ByteRange {
    RangeKind kind = RangeKind::Whole;
    uint64_t first = 0;  // first byte served
    uint64_t length = 0; // bytes served
};

// The bytes of a file of size bytes that a Range header value asks for: "bytes=a-b", "bytes=a-" or
// "bytes=-n" (the last n bytes). A range reaching past the end is cut at the end; one starting at or
// past it, or a suffix of 0 bytes, is unsatisfiable.
ByteRange ParseRange(std::optional<std::string_view> header, uint64_t size);

// The validator of a file's bytes: changes when the file is replaced, grows or is rewritten.
std::string EntityTag(uint64_t inode, uint64_t size, int64_t modifiedNs);

// An HTTP date (IMF-fixdate) of seconds since 1970.
std::string HttpDate(int64_t seconds);

// Whether a request's Host names this machine's loopback: localhost, 127.x.x.x or [::1], with or
// without a port. Without users the server answers nothing else, so a page of another site whose
// name was pointed at 127.0.0.1 (DNS rebinding) reads nothing through the user's browser.
bool IsLoopbackHost(std::string_view host);

// Whether a WebSocket's Origin is the server's own page (its scheme's host and port are the
// request's Host), or there is none (no browser): another site's page opens no live view with the
// user's browser. A WebSocket is not held to the same-origin rule as other requests are.
bool SameOrigin(std::optional<std::string_view> origin, std::string_view host);

// Whether a Range still applies under an If-Range value (a validator the client kept): only when
// it is the file's entity tag or Last-Modified date exactly; otherwise the whole current file is
// sent, so a client never joins the bytes of two versions of a file. Without If-Range it applies.
bool RangeApplies(std::optional<std::string_view> ifRange, std::string_view entityTag, std::string_view lastModified);

// Whether an If-None-Match value names the file's entity tag (or is "*"): the answer is then 304.
bool NoneMatchHolds(std::string_view ifNoneMatch, std::string_view entityTag);

} // namespace webview
