// Who may use the server: the configured users' passwords (crypt hashes checked with crypt_r),
// the session ids a login hands out, and the pause imposed on an address after failed logins.
// Called on the server's thread only.
#pragma once

#include "web_config.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace webview {

using SteadyTime = std::chrono::steady_clock::time_point;
using SteadyClock = std::function<SteadyTime()>;

enum class LoginResult {
    Accepted,
    Refused, // a wrong name or password
    Slowed   // the address failed recently: not checked, try again later
};

class Authenticator {
public:
    Authenticator(std::vector<WebUser> users, SteadyClock clock);

    // Whether requests need a session or Basic credentials: when users are configured.
    bool Required() const { return !users_.empty(); }
    // Checks name and password for a request from address; session is the new session id when Accepted.
    LoginResult Login(const std::string& address, const std::string& name, const std::string& password,
                      std::string& session);
    // Whether id is a live session.
    bool SessionValid(const std::string& id);
    // Whether an "Authorization: Basic ..." value holds a user's name and password; failures count as logins'.
    LoginResult CheckBasic(const std::string& address, const std::string& value);
    // How long address must wait before its next login is checked (zero when it need not).
    std::chrono::seconds RetryAfter(const std::string& address);

private:
    bool PasswordMatches(const std::string& name, const std::string& password) const;
    // SHA-256 of this run's random key and text: what the maps below hold instead of session ids
    // and credentials, so that finding one compares digests, whose timing says nothing of the id.
    std::string Digest(const std::string& text) const;

    struct Failures {
        unsigned count = 0;
        SteadyTime until; // no login from the address is checked before this
    };

    const std::vector<WebUser> users_;
    const SteadyClock clock_;
    unsigned char key_[32];
    std::map<std::string, SteadyTime> sessions_; // an id's digest to its expiry
    std::map<std::string, SteadyTime>
        basicPasses_;                          // a Basic value's digest, checked right, to when it is checked again
    std::map<std::string, Failures> failures_; // by client address
};

} // namespace webview
