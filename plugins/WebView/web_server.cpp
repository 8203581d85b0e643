#include "web_server.h"

#include "live_viewer.h"
#include "web_log.h"

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include <map>
#include <optional>

namespace webview {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

// Server's thread only (the counts change as sessions come and go, and sessions are destroyed on
// that thread, or with the io_context after it ended).
struct WebServer::State {
    ServerSettings settings;
    RequestHandler handler;
    std::optional<asio::ssl::context> tls; // with a certificate
    size_t open = 0;                       // connections open
    std::map<std::string, size_t> perAddress;
};

namespace {

// Sets the headers every reply carries.
template <typename Body>
void CommonHeaders(http::response<Body>& response, bool keepAlive)
{
    response.set(http::field::server, "dvrcore");
    // The page's scripts, styles and sockets come from this server only (no inline script); its live
    // video plays from Media Source objects, which are blob: addresses.
    response.set("Content-Security-Policy", "default-src 'self'; media-src 'self' blob:; object-src 'none'; "
                                            "frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Referrer-Policy", "no-referrer");
    response.keep_alive(keepAlive);
}

template <typename Body>
void Finish(http::response<Body>& response, bool keepAlive)
{
    CommonHeaders(response, keepAlive);
    response.prepare_payload();
}

StringResponse Plain(http::status status, unsigned version, const std::string& text)
{
    StringResponse response{status, version};
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.set(http::field::cache_control, "no-store");
    response.body() = text + "\n";
    return response;
}

// One connection: reads requests one after another, each under the header time-out once its first
// byte came, and writes each reply in pieces, each under the write time-out. Ends (its socket
// closes) when the last handler holding it is gone.
template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
public:
    template <typename... Layers>
    Session(std::shared_ptr<WebServer::State> state, std::string address, Layers&&... layers)
        : stream_(std::forward<Layers>(layers)...),
          state_(std::move(state)),
          address_(std::move(address))
    {
    }
    ~Session()
    {
        if (chunked_)
            chunked_->body->Cancel();
        --state_->open;
        if (--state_->perAddress[address_] == 0)
            state_->perAddress.erase(address_);
    }

    void Run()
    {
        if constexpr (IS_TLS) {
            Lowest().expires_after(state_->settings.headerTimeout);
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (!ec)
                                            self->DoRead();
                                    });
        } else {
            DoRead();
        }
    }

private:
    static constexpr bool IS_TLS = !std::is_same_v<Stream, beast::tcp_stream>;

    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

    void DoRead()
    {
        parser_.emplace();
        parser_->header_limit(static_cast<uint32_t>(state_->settings.headerBytes));
        parser_->body_limit(state_->settings.bodyBytes);
        if (buffer_.size() > 0) // the next request came with the last one
            return ReadRequest();
        // A connection that never sent a request gets no more time than a request's header does.
        Lowest().expires_after(served_ == 0 ? state_->settings.headerTimeout : state_->settings.idleTimeout);
        stream_.async_read_some(buffer_.prepare(1024),
                                [self = this->shared_from_this()](beast::error_code ec, size_t bytes) {
                                    if (ec)
                                        return self->Close();
                                    self->buffer_.commit(bytes);
                                    self->ReadRequest();
                                });
    }

    void ReadRequest()
    {
        Lowest().expires_after(state_->settings.headerTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec)
    {
        if (ec == http::error::header_limit)
            return Send(Plain(http::status::request_header_fields_too_large, 11, "header too large"), false);
        if (ec == http::error::body_limit)
            return Send(Plain(http::status::payload_too_large, 11, "body too large"), false);
        if (ec)
            return Close(); // time-out, end of stream, bad request bytes
        const Request& request = parser_->get();
        ++served_;
        Reply reply = state_->handler(request, RequestContext{address_, IS_TLS});
        if (auto* live = std::get_if<LiveUpgrade>(&reply)) {
            const ServerSettings& settings = state_->settings;
            return std::make_shared<LiveViewer<Stream>>(std::move(stream_), this->shared_from_this(), *live->hub,
                                                        live->camera, live->name, settings.headerTimeout,
                                                        settings.idleTimeout)
                ->Run(parser_->release());
        }
        const bool keepAlive = request.keep_alive();
        std::visit(
            [&](auto& response) {
                using Kind = std::decay_t<decltype(response)>;
                if constexpr (std::is_same_v<Kind, ChunkedReply>)
                    SendChunked(std::move(response), keepAlive);
                else if constexpr (!std::is_same_v<Kind, LiveUpgrade>)
                    Send(std::move(response), keepAlive);
            },
            reply);
    }

    // A reply made while it is sent: its head once the first piece is there, then a chunk a piece,
    // each asked for once the one before it is written.
    void SendChunked(ChunkedReply&& reply, bool keepAlive)
    {
        keepAlive_ = keepAlive;
        chunked_.emplace(std::move(reply));
        AskPiece(true);
    }

    void AskPiece(bool first)
    {
        chunked_->body->Next(stream_.get_executor(),
                             [self = this->shared_from_this(), first](ChunkSource::Piece piece, std::string bytes) {
                                 self->OnPiece(first, piece, std::move(bytes));
                             });
    }

    void OnPiece(bool first, ChunkSource::Piece piece, std::string bytes)
    {
        if (piece == ChunkSource::Piece::Failed) {
            if (!first)
                return Close(); // without the last chunk: the client sees the body cut short
            EndChunked();
            return Send(Plain(http::status::internal_server_error, 11, bytes), false);
        }
        piece_ = std::move(bytes);
        if (!first)
            return WritePiece(piece);
        HeadResponse& head = chunked_->head;
        CommonHeaders(head, keepAlive_);
        head.chunked(true);
        headSerializer_.emplace(head);
        Lowest().expires_after(state_->settings.writeTimeout);
        http::async_write_header(stream_, *headSerializer_,
                                 [self = this->shared_from_this(), piece](beast::error_code ec, size_t) {
                                     if (ec)
                                         return self->Close();
                                     self->WritePiece(piece);
                                 });
    }

    void WritePiece(ChunkSource::Piece piece)
    {
        Lowest().expires_after(state_->settings.writeTimeout);
        if (piece == ChunkSource::Piece::End)
            return asio::async_write(stream_, http::make_chunk_last(),
                                     [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                         if (ec)
                                             return self->Close();
                                         self->EndChunked();
                                         if (!self->keepAlive_)
                                             return self->Close();
                                         self->DoRead();
                                     });
        asio::async_write(stream_, http::make_chunk(asio::buffer(piece_)),
                          [self = this->shared_from_this()](beast::error_code ec, size_t) {
                              if (ec)
                                  return self->Close();
                              self->AskPiece(false);
                          });
    }

    void EndChunked()
    {
        if (chunked_)
            chunked_->body->Cancel();
        headSerializer_.reset();
        chunked_.reset();
        piece_.clear();
    }

    template <typename Body>
    void Send(http::response<Body>&& response, bool keepAlive)
    {
        Finish(response, keepAlive);
        keepAlive_ = keepAlive;
        auto& message = reply_.emplace<http::response<Body>>(std::move(response));
        serializer_.emplace<http::response_serializer<Body>>(message);
        WriteSome();
    }

    void WriteSome()
    {
        Lowest().expires_after(state_->settings.writeTimeout);
        std::visit(
            [this](auto& serializer) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(serializer)>, std::monostate>)
                    http::async_write_some(
                        stream_, serializer,
                        [self = this->shared_from_this()](beast::error_code ec, size_t) { self->OnWrite(ec); });
            },
            serializer_);
    }

    void OnWrite(beast::error_code ec)
    {
        if (ec)
            return Close();
        const bool done = std::visit(
            [](auto& serializer) {
                if constexpr (std::is_same_v<std::decay_t<decltype(serializer)>, std::monostate>)
                    return true;
                else
                    return serializer.is_done();
            },
            serializer_);
        if (!done)
            return WriteSome();
        serializer_.template emplace<std::monostate>();
        reply_.template emplace<std::monostate>(); // closes a served file
        if (!keepAlive_)
            return Close();
        DoRead();
    }

    void Close()
    {
        EndChunked();
        beast::error_code ignored;
        Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
        Lowest().close();
    }

    Stream stream_;
    std::shared_ptr<WebServer::State> state_;
    const std::string address_;
    beast::flat_buffer buffer_{64 * 1024};
    std::optional<http::request_parser<http::string_body>> parser_; // of the request being read
    // The reply being written; the serializer refers to it.
    std::variant<std::monostate, StringResponse, FileResponse> reply_;
    std::variant<std::monostate, http::response_serializer<http::string_body>,
                 http::response_serializer<http::basic_file_body<RangeFile>>>
        serializer_;
    std::optional<ChunkedReply> chunked_;                                       // the chunked reply being written
    std::optional<http::response_serializer<http::empty_body>> headSerializer_; // of chunked_'s head
    std::string piece_;                                                         // the chunk being written
    bool keepAlive_ = false;
    uint64_t served_ = 0; // requests read whole
};

} // namespace

WebServer::WebServer(ServerSettings settings, RequestHandler handler)
    : state_(std::make_shared<State>()),
      io_(std::make_unique<asio::io_context>(1))
{
    state_->settings = std::move(settings);
    state_->handler = std::move(handler);
}

WebServer::~WebServer()
{
    Stop();
    acceptor_.reset();
    io_.reset(); // destroys the sessions its handlers held
}

bool WebServer::Start(std::string& why)
{
    const ServerSettings& settings = state_->settings;
    try {
        if (!settings.certificate.empty()) {
            state_->tls.emplace(asio::ssl::context::tls_server);
            state_->tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                                     asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                                     asio::ssl::context::no_tlsv1_1);
            state_->tls->use_certificate_chain_file(settings.certificate);
            state_->tls->use_private_key_file(settings.key, asio::ssl::context::pem);
        }
        const tcp::endpoint endpoint(asio::ip::make_address(settings.address), settings.port);
        acceptor_ = std::make_unique<tcp::acceptor>(*io_);
        acceptor_->open(endpoint.protocol());
        acceptor_->set_option(asio::socket_base::reuse_address(true));
        acceptor_->bind(endpoint);
        acceptor_->listen(asio::socket_base::max_listen_connections);
        port_ = acceptor_->local_endpoint().port();
    } catch (const std::exception& error) {
        why = error.what();
        return false;
    }
    DoAccept();
    thread_ = std::thread([this] {
        for (;;) {
            try {
                io_->run();
                return;
            } catch (const std::exception& error) { // a handler's: the server goes on
                Log(LOG_WARNING, "a request failed: %s", error.what());
            }
        }
    });
    return true;
}

void WebServer::DoAccept()
{
    acceptor_->async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_->is_open())
            return;
        if (!ec) {
            beast::error_code unknown;
            const auto remote = socket.remote_endpoint(unknown);
            const std::string address = unknown ? std::string("?") : remote.address().to_string();
            State& state = *state_;
            if (state.open >= state.settings.connections ||
                state.perAddress[address] >= state.settings.connectionsPerAddress) {
                if (state.perAddress[address] == 0)
                    state.perAddress.erase(address);
                socket.close(unknown); // over a limit: dropped unread
            } else {
                ++state.open;
                ++state.perAddress[address];
                if (state.tls)
                    std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(state_, address, std::move(socket),
                                                                                    *state.tls)
                        ->Run();
                else
                    std::make_shared<Session<beast::tcp_stream>>(state_, address, std::move(socket))->Run();
            }
        }
        DoAccept();
    });
}

void WebServer::Stop()
{
    if (!thread_.joinable())
        return;
    io_->stop();
    thread_.join();
}

} // namespace webview
