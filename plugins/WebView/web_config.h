// The web view's settings: web_view.xml in the working folder.
//     <WebView address="127.0.0.1" port="8080" recordings="recordings"
//              certificate="web.crt" key="web.key">
//         <User name="alice" hash="$y$..."/>
//     </WebView>
// Every attribute is optional; a hash is what `mkpasswd -m yescrypt` or `openssl passwd -6` prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace webview {

struct WebUser {
    std::string name;
    std::string hash; // crypt(3) form, "$<id>$..."; never logged
};

struct WebConfig {
    std::string address = "127.0.0.1";
    uint16_t port = 8080; // 0: any free port (tests)
    std::vector<WebUser> users;
    std::string certificate; // PEM chain; with key, the server speaks only TLS
    std::string key;         // PEM private key
    std::string recordings;  // the recorder's folder unless set
};

// Reads path, with the recordings folder defaulting to segment_recorder.xml's folder (recorderPath,
// "recordings" without one). A missing file gives the defaults. A file that does not parse or holds
// a bad value is refused with a failure line naming its line: nothing then.
std::optional<WebConfig> ReadWebConfig(const std::string& path, const std::string& recorderPath);

// Why the server must not listen as configured (an address other than loopback without a user);
// empty when it may.
std::string ExposureRefusal(const WebConfig& config);

} // namespace webview
