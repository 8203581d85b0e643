#include "web_routes.h"

#include "page_files.h"
#include "recordings_index.h"
#include "recordings_summary.h"
#include "request_rules.h"
#include "status_figures.h"
#include "web_log.h"

#include <boost/beast/websocket/rfc6455.hpp>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fcntl.h>
#include <unistd.h>

namespace webview {

namespace {

using json = nlohmann::json;

std::string_view View(boost::beast::string_view text)
{
    return {text.data(), text.size()};
}

StringResponse Text(http::status status, const Request& request, const std::string& text)
{
    StringResponse response{status, request.version()};
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.set(http::field::cache_control, "no-store");
    response.body() = text + "\n";
    return response;
}

StringResponse Json(const Request& request, const json& value)
{
    StringResponse response{http::status::ok, request.version()};
    response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
    // A camera's name comes from another plugin: bytes that are not UTF-8 are replaced, not thrown on.
    response.body() = value.dump(-1, ' ', false, json::error_handler_t::replace);
    return response;
}

// The value of a cookie in a Cookie header; empty when absent.
std::string CookieValue(std::string_view header, std::string_view name)
{
    while (!header.empty()) {
        const size_t semicolon = header.find(';');
        std::string_view pair = header.substr(0, semicolon);
        header = semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
        while (!pair.empty() && pair.front() == ' ')
            pair.remove_prefix(1);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=')
            return std::string(pair.substr(name.size() + 1));
    }
    return {};
}

const char* CodecName(uint32_t codec)
{
    switch (codec) {
    case DVR_CODEC_H264: return "h264";
    case DVR_CODEC_HEVC: return "hevc";
    case DVR_CODEC_AAC: return "aac";
    case DVR_CODEC_ALAW: return "alaw";
    case DVR_CODEC_ULAW: return "ulaw";
    default: return codec == 0 ? "" : "other";
    }
}

// Whether name is one a camera's recordings folder may have: what the file route takes.
bool IsCameraName(const std::string& name)
{
    return ParseRoute("/recordings/" + name + "/2000-01-01/a.mp4").kind == RouteKind::RecordingFile;
}

// A camera's recordings; none when the folder is missing or the name is no folder's.
RecordingsSummary SummaryOf(RecordingsSummaries& summaries, int folder, const std::string& camera)
{
    if (folder < 0 || !IsCameraName(camera))
        return {};
    return summaries.Get(folder, camera);
}

json LiveJson(const LiveFigures& live)
{
    return {{"viewers", live.viewers},
            {"fragmentsSent", live.fragmentsSent},
            {"skips", live.skips},
            {"skippedFragments", live.skippedFragments},
            {"inboxDropped", live.inboxDropped},
            {"peakViewerBytes", live.peakViewerBytes}};
}

} // namespace

Reply WebRoutes::Handle(const Request& request, const RequestContext& context)
{
    ++requests_;
    // A client that names no host (HTTP/1.0) is no browser led there by another site.
    const auto host = request[http::field::host];
    if (!auth_.Required() && !host.empty() && !IsLoopbackHost(View(host)))
        return Text(http::status::forbidden, request,
                    "without users this server answers only to a loopback name (127.0.0.1, localhost, [::1])");
    if (auto page = PageReply(request))
        return std::move(*page);
    const Route route = ParseRoute(View(request.target()));
    if (route.kind == RouteKind::Login)
        return Login(request, context);
    if (auto refused = Refusal(request, context))
        return std::move(*refused);
    if (route.kind == RouteKind::NotFound)
        return Text(http::status::not_found, request, "not found");
    if (request.method() != http::verb::get) {
        StringResponse response = Text(http::status::method_not_allowed, request, "GET only");
        response.set(http::field::allow, "GET");
        return response;
    }
    switch (route.kind) {
    case RouteKind::Cameras: return Cameras(request);
    case RouteKind::Status: return Status(request);
    case RouteKind::Recordings: return Recordings(request, route);
    case RouteKind::Export: return Export(request, route);
    case RouteKind::Live: return Live(request, route);
    default: return RecordingFile(request, route);
    }
}

std::optional<StringResponse> WebRoutes::Refusal(const Request& request, const RequestContext& context)
{
    if (!auth_.Required())
        return std::nullopt;
    const std::string session = CookieValue(View(request[http::field::cookie]), SESSION_COOKIE);
    if (!session.empty() && auth_.SessionValid(session))
        return std::nullopt;
    // Basic credentials only where nobody on the way can read them.
    const auto authorization = request[http::field::authorization];
    if (context.tls && !authorization.empty()) {
        const LoginResult result = auth_.CheckBasic(context.address, std::string(authorization));
        if (result == LoginResult::Accepted)
            return std::nullopt;
        if (result == LoginResult::Slowed) {
            StringResponse response = Text(http::status::too_many_requests, request, "too many failed logins");
            response.set(http::field::retry_after, std::to_string(auth_.RetryAfter(context.address).count()));
            return response;
        }
        Log(LOG_WARNING, "failed login from %s", context.address.c_str());
    }
    StringResponse response = Text(http::status::unauthorized, request, "log in first");
    if (context.tls)
        response.set(http::field::www_authenticate, "Basic realm=\"dvrcore\", charset=\"UTF-8\"");
    return response;
}

Reply WebRoutes::Login(const Request& request, const RequestContext& context)
{
    if (request.method() != http::verb::post) {
        StringResponse response = Text(http::status::method_not_allowed, request, "POST only");
        response.set(http::field::allow, "POST");
        return response;
    }
    if (!auth_.Required())
        return Text(http::status::ok, request, "no login needed");
    std::string name;
    std::string password;
    const auto type = request[http::field::content_type];
    if (type.starts_with("application/json")) {
        const json body = json::parse(request.body(), nullptr, false);
        if (!body.is_object() || !body.contains("name") || !body["name"].is_string() || !body.contains("password") ||
            !body["password"].is_string())
            return Text(http::status::bad_request, request, "expected {\"name\": ..., \"password\": ...}");
        name = body["name"];
        password = body["password"];
    } else {
        const Route form = ParseRoute("/api/login?" + request.body());
        auto found = form.query.find("name");
        auto secret = form.query.find("password");
        if (form.kind != RouteKind::Login || found == form.query.end() || secret == form.query.end())
            return Text(http::status::bad_request, request, "expected the form fields name and password");
        name = found->second;
        password = secret->second;
    }
    std::string session;
    switch (auth_.Login(context.address, name, password, session)) {
    case LoginResult::Accepted: {
        StringResponse response = Text(http::status::ok, request, "logged in");
        std::string cookie = std::string(SESSION_COOKIE) + "=" + session + "; Path=/; HttpOnly; SameSite=Strict";
        if (context.tls)
            cookie += "; Secure";
        response.set(http::field::set_cookie, cookie);
        return response;
    }
    case LoginResult::Slowed: {
        StringResponse response = Text(http::status::too_many_requests, request, "too many failed logins");
        response.set(http::field::retry_after, std::to_string(auth_.RetryAfter(context.address).count()));
        return response;
    }
    case LoginResult::Refused: break;
    }
    Log(LOG_WARNING, "failed login from %s", context.address.c_str());
    return Text(http::status::unauthorized, request, "wrong name or password");
}

StringResponse WebRoutes::Cameras(const Request& request)
{
    json cameras = json::array();
    const int folder = open(recordings_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const CameraFigures& camera : cameras_.Cameras())
        cameras.push_back({{"number", camera.number},
                           {"name", camera.name},
                           {"video", CodecName(camera.videoCodec)},
                           {"width", camera.width},
                           {"height", camera.height},
                           {"audio", CodecName(camera.audioCodec)},
                           {"sampleRate", camera.sampleRate},
                           {"connections", camera.generation},
                           {"framesPerSecond", std::round(camera.rates.framesPerSecond * 100) / 100},
                           {"recording", IsRecording(camera, SummaryOf(summaries_, folder, camera.name))}});
    if (folder >= 0)
        close(folder);
    return Json(request, {{"cameras", cameras}});
}

StringResponse WebRoutes::Status(const Request& request)
{
    json cameras = json::array();
    const int folder = open(recordings_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const CameraFigures& camera : cameras_.Cameras()) {
        json status = CameraStatus(camera, SummaryOf(summaries_, folder, camera.name));
        status["live"] = LiveJson(live_ ? live_->Figures(camera.number) : LiveFigures{});
        cameras.push_back(std::move(status));
    }
    if (folder >= 0)
        close(folder);
    return Json(request, {{"cameras", cameras},
                          {"core", CoreStatusFigures(core_.Figures(), ResidentBytes())},
                          {"framesWithoutParameters", cameras_.WithoutParameters()},
                          {"malformedEvents", cameras_.Malformed()},
                          {"requests", requests_}});
}

StringResponse WebRoutes::Recordings(const Request& request, const Route& route)
{
    auto camera = route.query.find("camera");
    const auto from = route.query.count("from") ? QueryTime(route, "from") : std::optional<int64_t>(INT64_MIN);
    const auto to = route.query.count("to") ? QueryTime(route, "to") : std::optional<int64_t>(INT64_MAX);
    if (camera == route.query.end() || !IsCameraName(camera->second))
        return Text(http::status::bad_request, request, "camera=<name> is needed");
    if (!from || !to)
        return Text(http::status::bad_request, request, "from and to are ns since 1970");
    std::vector<Recording> found;
    if (auto failed = ListSpan(request, camera->second, *from, *to, found))
        return std::move(*failed);
    json files = json::array();
    for (const Recording& recording : found) {
        const recindex::IndexEntry& entry = recording.entry;
        files.push_back({{"day", recording.day},
                         {"file", entry.name},
                         {"url", "/recordings/" + camera->second + "/" + recording.day + "/" + entry.name},
                         {"start", entry.startNs},
                         {"duration", entry.durationNs},
                         {"bytes", entry.bytes},
                         {"state", recindex::StateName(entry.state)}});
    }
    return Json(request, {{"camera", camera->second}, {"files", files}});
}

std::optional<StringResponse> WebRoutes::ListSpan(const Request& request, const std::string& camera, int64_t from,
                                                  int64_t to, std::vector<Recording>& found)
{
    std::string why;
    const int folder = open(recordings_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool listed = folder >= 0 && ListRecordings(folder, camera, from, to, found, why);
    if (folder >= 0)
        close(folder);
    if (listed || why.empty())
        return std::nullopt;
    Log(LOG_WARNING, "recordings of %s: %s", camera.c_str(), why.c_str());
    return Text(http::status::internal_server_error, request, "the recordings cannot be read");
}

Reply WebRoutes::Export(const Request& request, const Route& route)
{
    auto camera = route.query.find("camera");
    const auto from = QueryTime(route, "from");
    const auto to = QueryTime(route, "to");
    if (camera == route.query.end() || !IsCameraName(camera->second))
        return Text(http::status::bad_request, request, "camera=<name> is needed");
    if (!from || !to)
        return Text(http::status::bad_request, request, "from and to are ns since 1970");
    if (auto problem = ExportSpanProblem(*from, *to))
        return Text(http::status::bad_request, request, *problem);
    if (request.version() < 11) // the export is sent in chunks, which HTTP/1.0 lacks
        return Text(http::status::http_version_not_supported, request, "an export needs HTTP/1.1");
    std::vector<Recording> found;
    if (auto failed = ListSpan(request, camera->second, *from, *to, found))
        return std::move(*failed);
    ExportPlan plan = PlanExport(std::move(found), *from, *to);
    if (plan.files.empty())
        return Text(http::status::not_found, request, "nothing recorded in that span");
    HeadResponse head{http::status::ok, request.version()};
    head.set(http::field::content_type, "video/mp4");
    head.set(http::field::cache_control, "no-store");
    head.set(http::field::content_disposition,
             "attachment; filename=\"" + ExportFileName(camera->second, *from) + "\"");
    head.set("X-Dvr-Gaps", GapHeader(plan.gaps));
    auto pipe = exporter_.Start(ExportJob{.recordings = recordings_,
                                          .camera = camera->second,
                                          .files = std::move(plan.files),
                                          .fromNs = *from,
                                          .toNs = *to});
    if (!pipe) {
        StringResponse busy = Text(http::status::service_unavailable, request, "too many exports at once");
        busy.set(http::field::retry_after, "5");
        return busy;
    }
    return ChunkedReply{std::move(head), std::move(pipe)};
}

Reply WebRoutes::RecordingFile(const Request& request, const Route& route)
{
    const int folder = open(recordings_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::optional<OpenRecording> file;
    if (folder >= 0) {
        file = OpenRecordingFile(folder, route.camera, route.day, route.file);
        close(folder);
    }
    if (!file)
        return Text(http::status::not_found, request, "not found");
    const std::string entityTag = EntityTag(file->inode, file->servedBytes, file->modifiedNs);
    const std::string lastModified = HttpDate(file->modifiedNs / 1'000'000'000);
    const auto header = [&](http::field field) {
        const auto found = request.find(field);
        return found == request.end() ? std::nullopt : std::optional<std::string_view>(View(found->value()));
    };
    if (const auto ifNoneMatch = header(http::field::if_none_match);
        ifNoneMatch && NoneMatchHolds(*ifNoneMatch, entityTag)) {
        close(file->fd);
        StringResponse response{http::status::not_modified, request.version()};
        response.set(http::field::etag, entityTag);
        response.set(http::field::last_modified, lastModified);
        response.set(http::field::cache_control, "no-cache");
        return response;
    }
    const bool rangeApplies = RangeApplies(header(http::field::if_range), entityTag, lastModified);
    const ByteRange range = ParseRange(rangeApplies ? header(http::field::range) : std::nullopt, file->servedBytes);
    const std::string size = std::to_string(file->servedBytes);
    if (range.kind == RangeKind::Unsatisfiable) {
        close(file->fd);
        StringResponse response = Text(http::status::range_not_satisfiable, request, "range not satisfiable");
        response.set(http::field::content_range, "bytes */" + size);
        return response;
    }
    FileResponse response{range.kind == RangeKind::Partial ? http::status::partial_content : http::status::ok,
                          request.version()};
    response.set(http::field::content_type, "video/mp4");
    response.set(http::field::accept_ranges, "bytes");
    response.set(http::field::etag, entityTag);
    response.set(http::field::last_modified, lastModified);
    response.set(http::field::cache_control, "no-cache");
    if (range.kind == RangeKind::Partial)
        response.set(http::field::content_range, "bytes " + std::to_string(range.first) + "-" +
                                                     std::to_string(range.first + range.length - 1) + "/" + size);
    boost::beast::error_code ignored;
    response.body().reset(RangeFile(file->fd, range.first, range.length), ignored);
    return response;
}

Reply WebRoutes::Live(const Request& request, const Route& route)
{
    for (const CameraFigures& camera : cameras_.Cameras()) {
        if (camera.name != route.camera || live_ == nullptr)
            continue;
        if (camera.videoCodec != DVR_CODEC_H264)
            return Text(http::status::unsupported_media_type, request, "the live view takes H.264 video only");
        const auto origin = request.find(http::field::origin);
        if (!SameOrigin(origin == request.end() ? std::nullopt : std::optional<std::string_view>(View(origin->value())),
                        View(request[http::field::host])))
            return Text(http::status::forbidden, request, "a live view is opened only from this server's own page");
        if (!boost::beast::websocket::is_upgrade(request)) {
            StringResponse response = Text(http::status::upgrade_required, request, "a WebSocket upgrade is needed");
            response.set(http::field::upgrade, "websocket");
            return response;
        }
        return LiveUpgrade{live_, camera.number, camera.name};
    }
    return Text(http::status::not_found, request, "not found");
}

} // namespace webview
