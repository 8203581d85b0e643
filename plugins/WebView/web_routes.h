// What each request gets: authentication first, then the route's answer. Server's thread.
#pragma once

#include "camera_table.h"
#include "core_status.h"
#include "export_stream.h"
#include "live_stream.h"
#include "recordings_summary.h"
#include "request_rules.h"
#include "web_auth.h"
#include "web_server.h"

#include <string>

namespace webview {

// The session cookie's name.
inline constexpr const char* SESSION_COOKIE = "dvr_session";

class WebRoutes {
public:
    // recordings: the recorder's folder, opened anew for each request (the recorder may make it later).
    // live: the cameras' live streams; without it /live/ finds no camera.
    WebRoutes(std::string recordings, const CameraTable& cameras, Authenticator& auth, const CoreStatus& core,
              LiveHub* live = nullptr)
        : recordings_(std::move(recordings)),
          cameras_(cameras),
          auth_(auth),
          core_(core),
          live_(live)
    {
    }

    Reply Handle(const Request& request, const RequestContext& context);
    // Cancels the exports and waits for their threads: after the server's thread has stopped, before
    // the server (whose io_context their replies post to) is destroyed.
    void StopExports() { exporter_.Stop(); }

private:
    Reply Login(const Request& request, const RequestContext& context);
    // An answer refusing the request, or nothing when it may go on.
    std::optional<StringResponse> Refusal(const Request& request, const RequestContext& context);
    StringResponse Cameras(const Request& request);
    StringResponse Status(const Request& request);
    StringResponse Recordings(const Request& request, const Route& route);
    Reply RecordingFile(const Request& request, const Route& route);
    Reply Export(const Request& request, const Route& route);
    // The camera's files meeting [from, to] into found; a 500 when its indexes cannot be read.
    std::optional<StringResponse> ListSpan(const Request& request, const std::string& camera, int64_t from, int64_t to,
                                           std::vector<Recording>& found);
    Reply Live(const Request& request, const Route& route);

    const std::string recordings_;
    const CameraTable& cameras_;
    Authenticator& auth_;
    const CoreStatus& core_;
    LiveHub* live_;
    RecordingsSummaries summaries_; // of the cameras' files, for the status
    uint64_t requests_ = 0;         // answered, for the status
    Exporter exporter_;             // Start on the server's thread
};

} // namespace webview
