#include "web_auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <crypt.h>
#include <memory>
#include <stdexcept>

namespace webview {

namespace {

constexpr auto SESSION_LIFE = std::chrono::hours(12);
constexpr size_t MAX_SESSIONS = 256;
constexpr size_t MAX_FAILING_ADDRESSES = 4096;
constexpr auto LONGEST_PAUSE = std::chrono::seconds(30);
// Basic credentials come with every request, and their hash costs milliseconds on the server's
// one thread: a value checked right is taken without hashing for a while.
constexpr auto BASIC_PASS_LIFE = std::chrono::minutes(10);
constexpr size_t MAX_BASIC_PASSES = 64;

bool SameBytes(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

Authenticator::Authenticator(std::vector<WebUser> users, SteadyClock clock)
    : users_(std::move(users)),
      clock_(std::move(clock))
{
    if (RAND_bytes(key_, sizeof key_) != 1)
        throw std::runtime_error("no random bytes for the session key");
}

std::string Authenticator::Digest(const std::string& text) const
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), key_, sizeof key_) != 1 ||
        EVP_DigestUpdate(context.get(), text.data(), text.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        throw std::runtime_error("SHA-256 failed");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

bool Authenticator::PasswordMatches(const std::string& name, const std::string& password) const
{
    // Every user's name is compared and one hash is always computed, so the time taken says
    // little about which names exist.
    const WebUser* match = nullptr;
    for (const WebUser& user : users_)
        if (SameBytes(user.name, name))
            match = &user;
    const std::string& hash = match != nullptr ? match->hash : users_.front().hash;
    auto data = std::make_unique<crypt_data>(); // about 32 KiB: not on the stack
    const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
    const bool same = computed != nullptr && computed[0] != '*' && SameBytes(computed, hash);
    OPENSSL_cleanse(data.get(), sizeof(crypt_data));
    return match != nullptr && same;
}

std::chrono::seconds Authenticator::RetryAfter(const std::string& address)
{
    auto found = failures_.find(address);
    const SteadyTime now = clock_();
    if (found == failures_.end() || found->second.until <= now)
        return std::chrono::seconds(0);
    return std::chrono::ceil<std::chrono::seconds>(found->second.until - now);
}

LoginResult Authenticator::Login(const std::string& address, const std::string& name, const std::string& password,
                                 std::string& session)
{
    if (users_.empty())
        return LoginResult::Refused;
    if (RetryAfter(address).count() > 0)
        return LoginResult::Slowed;
    const SteadyTime now = clock_();
    if (!PasswordMatches(name, password)) {
        if (failures_.size() >= MAX_FAILING_ADDRESSES)
            std::erase_if(failures_, [&](const auto& item) { return item.second.until <= now; });
        if (failures_.size() < MAX_FAILING_ADDRESSES || failures_.count(address) != 0) {
            Failures& failed = failures_[address];
            // 1 s after the first failure, doubling up to LONGEST_PAUSE.
            const auto pause = std::chrono::seconds(int64_t{1} << std::min(failed.count, 5u));
            failed.until = now + std::min<std::chrono::seconds>(pause, LONGEST_PAUSE);
            ++failed.count;
        }
        return LoginResult::Refused;
    }
    failures_.erase(address);
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return LoginResult::Refused;
    static const char HEX[] = "0123456789abcdef";
    session.clear();
    for (unsigned char byte : bytes) {
        session += HEX[byte >> 4];
        session += HEX[byte & 15];
    }
    std::erase_if(sessions_, [&](const auto& item) { return item.second <= now; });
    if (sessions_.size() >= MAX_SESSIONS) // the one expiring first goes
        sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(),
                                         [](const auto& a, const auto& b) { return a.second < b.second; }));
    sessions_[Digest(session)] = now + SESSION_LIFE;
    return LoginResult::Accepted;
}

bool Authenticator::SessionValid(const std::string& id)
{
    auto found = sessions_.find(Digest(id));
    if (found == sessions_.end())
        return false;
    if (found->second <= clock_()) {
        sessions_.erase(found);
        return false;
    }
    return true;
}

LoginResult Authenticator::CheckBasic(const std::string& address, const std::string& value)
{
    constexpr std::string_view SCHEME = "Basic ";
    if (value.compare(0, SCHEME.size(), SCHEME) != 0 || value.size() - SCHEME.size() > 1024)
        return LoginResult::Refused;
    if (RetryAfter(address).count() > 0)
        return LoginResult::Slowed;
    const SteadyTime now = clock_();
    const std::string digest = Digest(value);
    if (auto pass = basicPasses_.find(digest); pass != basicPasses_.end()) {
        if (pass->second > now)
            return LoginResult::Accepted;
        basicPasses_.erase(pass);
    }
    const std::string encoded = value.substr(SCHEME.size());
    std::string decoded(encoded.size() / 4 * 3 + 3, '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                        reinterpret_cast<const unsigned char*>(encoded.data()), static_cast<int>(encoded.size()));
    if (length < 0 || encoded.size() % 4 != 0)
        return LoginResult::Refused;
    // EVP_DecodeBlock counts the padding's bytes as well.
    size_t size = static_cast<size_t>(length);
    for (size_t pad = encoded.size(); pad > 0 && encoded[pad - 1] == '=' && size > 0; --pad)
        --size;
    decoded.resize(size);
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return LoginResult::Refused;
    std::string unused;
    const LoginResult result = Login(address, decoded.substr(0, colon), decoded.substr(colon + 1), unused);
    if (result == LoginResult::Accepted) {
        sessions_.erase(Digest(unused)); // Basic credentials come with every request: no session
        std::erase_if(basicPasses_, [&](const auto& item) { return item.second <= now; });
        if (basicPasses_.size() < MAX_BASIC_PASSES)
            basicPasses_[digest] = now + BASIC_PASS_LIFE;
    }
    OPENSSL_cleanse(decoded.data(), decoded.size());
    return result;
}

} // namespace webview
