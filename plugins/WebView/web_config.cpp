#include "web_config.h"

#include "web_log.h"

#include <boost/asio/ip/address.hpp>
#include <tinyxml.h>

#include <cctype>
#include <charconv>
#include <cstring>
#include <sys/stat.h>

namespace webview {

namespace {

// The recorder's folder, as segment_recorder.xml names it; its default when it does not.
std::string RecorderFolder(const std::string& recorderPath)
{
    TiXmlDocument document;
    if (!document.LoadFile(recorderPath.c_str()))
        return "recordings";
    const TiXmlElement* root = document.RootElement();
    const char* folder = root != nullptr ? root->Attribute("folder") : nullptr;
    return folder != nullptr && *folder != '\0' ? folder : "recordings";
}

bool Refuse(const std::string& path, int row, const std::string& why)
{
    Log(LOG_FAILURE, "%s line %d: %s; serving nothing", path.c_str(), row, why.c_str());
    return false;
}

// A hash crypt_r can check: "$<id>$" and then only the characters of crypt's alphabet.
bool IsCryptHash(const std::string& hash)
{
    if (hash.size() < 4 || hash[0] != '$' || hash.find('$', 1) == std::string::npos)
        return false;
    for (char c : hash)
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr("$./=,-", c) == nullptr)
            return false;
    return true;
}

bool ReadUsers(const std::string& path, const TiXmlElement& root, WebConfig& config)
{
    for (const TiXmlElement* user = root.FirstChildElement("User"); user != nullptr;
         user = user->NextSiblingElement("User")) {
        const char* name = user->Attribute("name");
        const char* hash = user->Attribute("hash");
        if (name == nullptr || *name == '\0' || std::strpbrk(name, ":\r\n") != nullptr)
            return Refuse(path, user->Row(), "a user needs a name without ':'");
        if (hash == nullptr || !IsCryptHash(hash))
            return Refuse(path, user->Row(),
                          std::string("user \"") + name + "\": hash is not a crypt hash (mkpasswd -m yescrypt)");
        for (const WebUser& other : config.users)
            if (other.name == name)
                return Refuse(path, user->Row(), std::string("user \"") + name + "\" is listed twice");
        config.users.push_back({name, hash});
    }
    return true;
}

} // namespace

std::optional<WebConfig> ReadWebConfig(const std::string& path, const std::string& recorderPath)
{
    WebConfig config;
    config.recordings = RecorderFolder(recorderPath);
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        Log(LOG_INFO, "no %s: serving %s:%u to this machine only, without users", path.c_str(), config.address.c_str(),
            config.port);
        return config;
    }
    TiXmlDocument document;
    if (!document.LoadFile(path.c_str())) {
        Refuse(path, document.ErrorRow(), document.ErrorDesc());
        return std::nullopt;
    }
    const TiXmlElement* root = document.RootElement();
    if (root == nullptr || root->ValueStr() != "WebView") {
        Refuse(path, root != nullptr ? root->Row() : 0, "the root element is not <WebView>");
        return std::nullopt;
    }
    if (const char* address = root->Attribute("address")) {
        boost::system::error_code error;
        boost::asio::ip::make_address(address, error);
        if (error) {
            Refuse(path, root->Row(), std::string("address \"") + address + "\" is not an IP address");
            return std::nullopt;
        }
        config.address = address;
    }
    if (const char* port = root->Attribute("port")) {
        const char* end = port + std::strlen(port);
        auto [stop, error] = std::from_chars(port, end, config.port);
        if (error != std::errc() || stop != end || *port == '\0') {
            Refuse(path, root->Row(), std::string("port \"") + port + "\" is not a number from 0 to 65535");
            return std::nullopt;
        }
    }
    if (const char* folder = root->Attribute("recordings"); folder != nullptr && *folder != '\0')
        config.recordings = folder;
    if (const char* certificate = root->Attribute("certificate"))
        config.certificate = certificate;
    if (const char* key = root->Attribute("key"))
        config.key = key;
    if (config.certificate.empty() != config.key.empty()) {
        Refuse(path, root->Row(), "certificate and key go together");
        return std::nullopt;
    }
    if (!ReadUsers(path, *root, config))
        return std::nullopt;
    return config;
}

std::string ExposureRefusal(const WebConfig& config)
{
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(config.address, error);
    if (error)
        return "address \"" + config.address + "\" is not an IP address";
    if (!address.is_loopback() && config.users.empty())
        return "listening on " + config.address +
               " would open the recordings to the network without a password: add a <User> to web_view.xml or "
               "listen on 127.0.0.1";
    return {};
}

} // namespace webview
