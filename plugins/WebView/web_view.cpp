// WebView: serves the page, the cameras' figures and the recorder's files to a browser over HTTP
// or HTTPS. Write counts a camera's frames, notes its parameters and the core's status documents,
// and copies the frames of cameras someone watches live (it keeps no block); the server runs on its
// own thread from Open to Close and reads the recordings through the day indexes, and the live
// thread remuxes what viewers watch.
#include "camera_table.h"
#include "core_status.h"
#include "ffmpeg_log.h"
#include "web_auth.h"
#include "web_config.h"
#include "web_log.h"
#include "web_routes.h"
#include "web_server.h"

#include <dvrcore/media.h>
#include <dvrcore/plugin_api.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

#define WEB_EXPORT extern "C" __attribute__((visibility("default")))

namespace webview {

namespace {

constexpr const char* CONFIG_FILE = "web_view.xml";
constexpr const char* RECORDER_CONFIG_FILE = "segment_recorder.xml";
constexpr uint32_t LOG_FLAGS = EVF_MEDIA_GATED | EVF_LOG_MESSAGE;
constexpr int VIDEO_CLASS = 0; // positions in EVENT_CLASS_BITS
constexpr int AUDIO_CLASS = 1;
constexpr int STATUS_CLASS = 2;
constexpr int PARAMS_CLASS = 4;

// Set by Load, cleared by Unload; read by every thread.
std::atomic<PluginEntryPoint> coreCallback{nullptr};

LiveHub live; // from Write, for the server's viewers; its thread runs from Open to Close

// The plugin between Open and Close: the server last, so it stops before what it serves goes.
struct WebView {
    WebView(const WebConfig& config, const CameraTable& cameras, const CoreStatus& core)
        : auth(config.users, [] { return std::chrono::steady_clock::now(); }),
          routes(config.recordings, cameras, auth, core, &live),
          server(
              ServerSettings{
                  .address = config.address, .port = config.port, .certificate = config.certificate, .key = config.key},
              [this](const Request& request, const RequestContext& context) { return routes.Handle(request, context); })
    {
    }
    Authenticator auth; // server's thread
    WebRoutes routes;   // server's thread
    WebServer server;
};

CameraTable cameras;           // from Write, for the server; outlives every server
CoreStatus coreStatus;         // the same, of the core's status documents
std::mutex viewLock;           // guards view between Open and Close
std::unique_ptr<WebView> view; // between Open and Close

} // namespace

void Log(int level, const char* format, ...)
{
    const PluginEntryPoint core = coreCallback;
    if (core == nullptr)
        return;
    char text[768];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length <= 0)
        return;
    _EventParmsIn in = DvrLogEvent(WEB_PROVIDER_ID, level, text);
    in.eventFlags = LOG_FLAGS;
    _EventParmsOut out = DvrEventParmsOut();
    core(&in, &out);
}

} // namespace webview

using namespace webview;

WEB_EXPORT int Load(void* in, void* out)
{
    auto* parms = static_cast<_LoadParmsIn*>(in);
    auto* self = static_cast<_LoadParmsOut*>(out);
    if (parms == nullptr || self == nullptr || self->size < sizeof(_LoadParmsOut))
        return 1;
    coreCallback = parms->callback;
    ffmpeg_common::InstallFfmpegLog(); // the exports' and the live thread's FFmpeg messages become the plugin's lines
    self->providerID = WEB_PROVIDER_ID;
    self->classMasks[VIDEO_CLASS] = DVR_MEDIA_FRAME_MASK;
    self->classMasks[AUDIO_CLASS] = DVR_MEDIA_FRAME_MASK;
    self->classMasks[PARAMS_CLASS] = DVR_MEDIA_KEYS;
    // The core's documents: flag bits 0 to 23 as they are, bits 24 to 30 one place up.
    self->classMasks[STATUS_CLASS] = (EVF_CORE_DOCUMENT & 0x00FFFFFFu) | ((EVF_CORE_DOCUMENT & 0x7F000000u) << 1);
    self->acceptsWrites = 1;
    self->logLevelDefault = LOG_INFO;
    return 0;
}

WEB_EXPORT int Open(void* in, void* out)
{
    (void)in;
    (void)out;
    const std::optional<WebConfig> config = ReadWebConfig(CONFIG_FILE, RECORDER_CONFIG_FILE);
    if (!config)
        return 1; // said why
    if (const std::string refusal = ExposureRefusal(*config); !refusal.empty()) {
        Log(LOG_FAILURE, "serving nothing: %s", refusal.c_str());
        return 1;
    }
    try {
        auto started = std::make_unique<WebView>(*config, cameras, coreStatus);
        live.Start(); // before the first viewer can come
        std::string why;
        if (!started->server.Start(why)) {
            Log(LOG_FAILURE, "serving nothing: cannot listen on %s port %u: %s", config->address.c_str(), config->port,
                why.c_str());
            live.Stop();
            return 1;
        }
        const bool tls = !config->certificate.empty();
        Log(LOG_INFO, "serving %s://%s:%u/ (recordings in %s, %zu users)", tls ? "https" : "http",
            config->address.c_str(), started->server.Port(), config->recordings.c_str(), config->users.size());
        std::lock_guard lock(viewLock);
        view = std::move(started);
    } catch (const std::exception& error) {
        Log(LOG_FAILURE, "serving nothing: %s", error.what());
        live.Stop();
        return 1;
    }
    return 0;
}

WEB_EXPORT int Close(void* in, void* out)
{
    (void)in;
    (void)out;
    std::unique_ptr<WebView> closing;
    {
        std::lock_guard lock(viewLock);
        closing = std::move(view);
    }
    if (closing) {
        closing->server.Stop();
        closing->routes.StopExports();
    }
    closing.reset(); // stops the server: its thread ends once the request it runs (if any) is answered
    live.Stop();     // with every viewer gone, the live thread and its muxers
    return 0;
}

WEB_EXPORT int Unload(void* in, void* out)
{
    Close(in, out);
    ffmpeg_common::RemoveFfmpegLog(); // before this code is unmapped
    coreCallback = nullptr;
    return 0;
}

WEB_EXPORT int Write(void* in, void* out)
{
    const auto* event = static_cast<const _WriteParmsIn*>(in);
    auto* result = static_cast<_WriteParmsOut*>(out);
    if (event == nullptr || result == nullptr)
        return 1;
    result->keep = 0;
    if (event->eventType == DVR_EVT_MEDIA_PARAMS) {
        _DvrMediaParams params{};
        if (DvrReadMediaParams(event->data, event->len, &params)) {
            cameras.Parameters(params);
            live.Parameters(params, static_cast<const uint8_t*>(event->data) + params.size);
        } else
            cameras.Malformed();
    } else if (event->eventType == EVT_VIDEO || event->eventType == EVT_AUDIO) {
        _DvrMediaFrame frame{};
        if (DvrReadMediaFrame(event->data, event->len, &frame)) {
            cameras.Frame(event->eventType == EVT_VIDEO, frame, event->len, coreStatus.Throttling());
            live.Frame(event->eventType, frame, static_cast<const uint8_t*>(event->data) + frame.size,
                       event->len - frame.size);
        } else
            cameras.Malformed();
    } else if (event->eventType == EVT_STATUS && event->providerID == CORE_PROVIDER_ID && event->data != nullptr) {
        coreStatus.Document(std::string_view(static_cast<const char*>(event->data), event->len));
    }
    return 0;
}
