// The HTTP server: one acceptor and one session object per connection, all run by one io_context
// on the server's own thread, plain or TLS (Beast's OpenSSL stream). It owns the limits every
// connection lives under; what a request gets is the handler's business.
#pragma once

#include "range_file.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <variant>

namespace webview {

namespace http = boost::beast::http;

struct ServerSettings {
    std::string address = "127.0.0.1";
    uint16_t port = 8080;    // 0: any free port; Port() says which
    std::string certificate; // PEM files; both set: TLS only
    std::string key;
    size_t headerBytes = 8 * 1024; // a longer header is answered 431 and the connection closed
    size_t bodyBytes = 16 * 1024;  // a longer body is answered 413 and the connection closed
    // Open at once; one more is closed at once. A browser showing every live tile of a 16-camera
    // recorder holds a WebSocket a camera and a few requests of its own, from one address.
    size_t connections = 128;
    size_t connectionsPerAddress = 32; // the same, per client address
    // Time to the end of a request's header and body once its first byte came (or the TLS handshake).
    std::chrono::milliseconds headerTimeout{10000};
    // Waiting for the first byte of a request after the first; for the first, headerTimeout.
    std::chrono::milliseconds idleTimeout{60000};
    std::chrono::milliseconds writeTimeout{30000}; // without a byte of the response going out
};

using Request = http::request<http::string_body>;
using StringResponse = http::response<http::string_body>;
using FileResponse = http::response<http::basic_file_body<RangeFile>>;
using HeadResponse = http::response<http::empty_body>;

// The body of a reply that is made while it is sent, in HTTP chunks. The server asks for one piece
// at a time and writes it before it asks again, so a slow client slows its maker down.
class ChunkSource {
public:
    enum class Piece {
        Data,  // bytes to send as one chunk
        End,   // the body is whole: the last chunk follows
        Failed // the body cannot be finished: bytes says why; the connection closes without the last chunk
    };
    using Ready = std::function<void(Piece piece, std::string bytes)>;
    virtual ~ChunkSource() = default;
    // Asks for the next piece: ready is posted to executor once it is there, once per call.
    virtual void Next(boost::asio::any_io_executor executor, Ready ready) = 0;
    // The reply is over (sent, or the connection is gone): the maker stops. Any thread.
    virtual void Cancel() = 0;
};

// head's status and headers, sent once the first piece is there; when that piece is Failed, a 500
// with its text goes instead.
struct ChunkedReply {
    HeadResponse head;
    std::shared_ptr<ChunkSource> body;
};

class LiveHub;
// A request the connection answers by becoming a live viewer of camera (a WebSocket).
struct LiveUpgrade {
    LiveHub* hub = nullptr;
    uint32_t camera = 0;
    std::string name;
};
using Reply = std::variant<StringResponse, FileResponse, ChunkedReply, LiveUpgrade>;

struct RequestContext {
    std::string address; // the client's IP address
    bool tls = false;
};

// Called on the server's thread for every whole request; the server adds the headers every reply
// carries and sets keep-alive and the length.
using RequestHandler = std::function<Reply(const Request&, const RequestContext&)>;

class WebServer {
public:
    WebServer(ServerSettings settings, RequestHandler handler);
    ~WebServer(); // Stop
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Loads the certificate, binds, listens and starts the server's thread. False with why otherwise.
    bool Start(std::string& why);
    // The port listened on, once started.
    uint16_t Port() const { return port_; }
    // Stops accepting and drops every connection: returns once the thread has ended, which is
    // as soon as the handler running (if any) returns. Any thread but the server's.
    void Stop();

    struct State; // what the sessions share with the server: the handler, the limits, the counts

private:
    void DoAccept();

    std::shared_ptr<State> state_; // held by every session, so it outlives them
    // Destroyed after the thread ends: its pending handlers hold the sessions, which go with it.
    std::unique_ptr<boost::asio::io_context> io_;
    std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor_; // server's thread once started
    uint16_t port_ = 0;
    std::thread thread_; // runs io_ until Stop
};

} // namespace webview
