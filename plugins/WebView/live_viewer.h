// One live viewer: the connection of an accepted /live/<camera> request, taken over as a WebSocket
// (plain or TLS), writing its channel's packets as a TEXT message and a BINARY one each. Runs on the
// server's thread; the live thread only wakes it through the channel. It holds the connection it
// came from, so it counts against the server's connection bounds until it ends.
#pragma once

#include "live_stream.h"
#include "web_log.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>

namespace webview {

template <typename Stream>
class LiveViewer : public std::enable_shared_from_this<LiveViewer<Stream>> {
public:
    // connection: what keeps the connection counted; idleTimeout: a viewer from which nothing came for
    // this long (not even the answer to a ping sent halfway) is closed, which also ends a write
    // that a viewer who stopped reading holds up.
    LiveViewer(Stream&& stream, std::shared_ptr<void> connection, LiveHub& hub, uint32_t camera, std::string name,
               std::chrono::milliseconds handshakeTimeout, std::chrono::milliseconds idleTimeout)
        : ws_(std::move(stream)),
          connection_(std::move(connection)),
          hub_(hub),
          camera_(camera),
          name_(std::move(name))
    {
        boost::beast::get_lowest_layer(ws_).expires_never(); // the WebSocket's own time-outs from now on
        boost::beast::websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = handshakeTimeout;
        timeouts.idle_timeout = idleTimeout;
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.read_message_max(4096); // a viewer has nothing to say
        ws_.auto_fragment(false);
    }
    ~LiveViewer()
    {
        if (channel_)
            hub_.Detach(camera_, channel_);
    }

    template <typename Request>
    void Run(Request&& request)
    {
        request_ = std::forward<Request>(request);
        ws_.async_accept(request_, [self = this->shared_from_this()](boost::beast::error_code ec) {
            if (!ec)
                self->Attach();
        });
    }

private:
    void Attach()
    {
        // The live thread wakes the viewer through a weak reference: only the server's thread ever
        // holds the last one.
        auto executor = ws_.get_executor();
        std::weak_ptr<LiveViewer> weak = this->shared_from_this();
        channel_ = hub_.Attach(camera_, [executor, weak] {
            boost::asio::post(executor, [weak] {
                if (auto self = weak.lock())
                    self->Pump();
            });
        });
        if (!channel_)
            return ws_.async_close(boost::beast::websocket::close_code::going_away,
                                   [self = this->shared_from_this()](boost::beast::error_code) {});
        Log(LOG_DETAIL, "live %s: a viewer came", name_.c_str());
        DoRead();
        Pump();
    }

    // Reads (and drops) what the viewer sends, so pings, pongs and a close are answered.
    void DoRead()
    {
        ws_.async_read(input_, [self = this->shared_from_this()](boost::beast::error_code ec, size_t) {
            if (ec) {
                self->ended_ = true;
                return;
            }
            self->input_.consume(self->input_.size());
            self->DoRead();
        });
    }

    void Pump()
    {
        if (writing_ || ended_)
            return;
        packet_ = channel_->Next();
        if (!packet_)
            return;
        writing_ = true;
        ws_.text(true);
        ws_.async_write(boost::asio::buffer(packet_->text),
                        [self = this->shared_from_this()](boost::beast::error_code ec, size_t) {
                            if (ec || self->packet_->binary.empty())
                                return self->Written(ec);
                            self->ws_.binary(true);
                            self->ws_.async_write(boost::asio::buffer(self->packet_->binary),
                                                  [self](boost::beast::error_code ec, size_t) { self->Written(ec); });
                        });
    }

    void Written(boost::beast::error_code ec)
    {
        writing_ = false;
        if (ec) {
            ended_ = true;
            return;
        }
        const bool fragment = !packet_->init && !packet_->binary.empty();
        if (fragment && (sent_++ % LATENCY_EVERY) == 0) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            const int64_t nowNs = int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
            Log(LOG_DETAIL, "live %s: fragment %llu on the socket %.2f ms after its capture", name_.c_str(),
                static_cast<unsigned long long>(sent_), static_cast<double>(nowNs - packet_->captureNs) / 1e6);
        }
        channel_->Sent(fragment);
        packet_.reset();
        Pump();
    }

    static constexpr uint64_t LATENCY_EVERY = 250; // fragments between two latency lines

    boost::beast::websocket::stream<Stream> ws_;
    std::shared_ptr<void> connection_; // counted by the server until the viewer ends
    LiveHub& hub_;
    const uint32_t camera_;
    const std::string name_;
    std::shared_ptr<LiveChannel> channel_; // once the handshake is done
    boost::beast::http::request<boost::beast::http::string_body> request_;
    boost::beast::flat_buffer input_;
    std::shared_ptr<const LivePacket> packet_; // being written
    bool writing_ = false;
    bool ended_ = false; // a read or write failed: the viewer ends once its last operation does
    uint64_t sent_ = 0;  // fragments written
};

} // namespace webview
