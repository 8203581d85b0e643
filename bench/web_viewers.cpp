// Live viewers for the web benchmark: COUNT WebSocket clients of each camera's /live/<camera> on a
// loopback web view (the n-th of each camera from 127.0.0.n+1), reading everything the server
// sends for SECONDS, on one thread. Prints one
// JSON object: viewers connected, fragments and bytes received, skips the server announced, and the
// delay from each fragment's capture time (its "captureMs") to the moment its bytes were read here.
//
//     bench_web_viewers PORT SECONDS COUNT CAMERA...
#include <utility> // before Asio, whose coroutine header needs std::exchange

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// What all viewers saw; the io thread's only.
struct Totals {
    int connected = 0;
    int failed = 0;
    uint64_t fragments = 0;
    uint64_t inits = 0;
    uint64_t bytes = 0;
    uint64_t skippedFrames = 0;
    std::vector<double> delaysMs; // capture to read, one per fragment
    std::string firstError;
};

double NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class Viewer : public std::enable_shared_from_this<Viewer> {
public:
    // from: the loopback address the viewer connects from, as if from a browser of its own.
    Viewer(asio::io_context& io, Totals& totals, unsigned short port, std::string camera, asio::ip::address from)
        : socket_(io),
          totals_(totals),
          port_(port),
          camera_(std::move(camera)),
          from_(from)
    {
    }

    void Start()
    {
        beast::error_code error;
        auto& socket = beast::get_lowest_layer(socket_).socket();
        if (socket.open(tcp::v4(), error) || socket.bind(tcp::endpoint(from_, 0), error))
            return Fail("bind", error);
        beast::get_lowest_layer(socket_).async_connect(
            tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_),
            [self = shared_from_this()](beast::error_code error) { self->Connected(error); });
    }

    void Stop()
    {
        stopped_ = true; // what the close aborts is no failure
        beast::error_code ignored;
        beast::get_lowest_layer(socket_).socket().close(ignored);
    }

private:
    void Fail(const char* step, beast::error_code error)
    {
        if (stopped_)
            return;
        stopped_ = true;
        if (!open_)
            ++totals_.failed;
        if (totals_.firstError.empty())
            totals_.firstError = camera_ + ": " + step + ": " + error.message();
    }

    void Connected(beast::error_code error)
    {
        if (error)
            return Fail("connect", error);
        socket_.async_handshake("127.0.0.1", "/live/" + camera_,
                                [self = shared_from_this()](beast::error_code error) { self->HandShaken(error); });
    }

    void HandShaken(beast::error_code error)
    {
        if (error)
            return Fail("handshake", error);
        open_ = true;
        ++totals_.connected;
        Read();
    }

    void Read()
    {
        socket_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, size_t bytes) {
            self->Received(error, bytes);
        });
    }

    void Received(beast::error_code error, size_t bytes)
    {
        if (error)
            return Fail("read", error);
        const double now = NowMs();
        totals_.bytes += bytes;
        if (socket_.got_text()) {
            const auto message = nlohmann::json::parse(beast::buffers_to_string(buffer_.data()), nullptr, false);
            const std::string type = message.is_object() ? message.value("type", "") : "";
            if (type == "fragment") {
                captureMs_ = message.value("captureMs", 0.0);
            } else if (type == "init") {
                ++totals_.inits;
            } else if (type == "skipped") {
                totals_.skippedFrames += message.value("frames", 0u);
            }
        } else if (captureMs_ > 0) {
            ++totals_.fragments;
            totals_.delaysMs.push_back(now - captureMs_);
            captureMs_ = 0;
        }
        buffer_.consume(buffer_.size());
        Read();
    }

    websocket::stream<beast::tcp_stream> socket_;
    beast::flat_buffer buffer_;
    Totals& totals_;
    const unsigned short port_;
    const std::string camera_;
    const asio::ip::address from_;
    double captureMs_ = 0; // of the fragment whose bytes come next
    bool open_ = false;
    bool stopped_ = false;
};

double Percentile(std::vector<double>& values, double share)
{
    if (values.empty())
        return 0;
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s PORT SECONDS COUNT CAMERA...\n", argv[0]);
        return 2;
    }
    const auto port = static_cast<unsigned short>(std::atoi(argv[1]));
    const int seconds = std::atoi(argv[2]);
    const int count = std::atoi(argv[3]);
    asio::io_context io;
    Totals totals;
    std::vector<std::shared_ptr<Viewer>> viewers;
    // Each round of viewers (one of every camera) from an address of its own, as from one browser:
    // the server bounds the connections of one address.
    for (int n = 0; n < count; ++n)
        for (int camera = 4; camera < argc; ++camera)
            viewers.push_back(std::make_shared<Viewer>(
                io, totals, port, argv[camera], asio::ip::make_address_v4(0x7F000001u + static_cast<unsigned>(n))));
    for (auto& viewer : viewers)
        viewer->Start();
    asio::steady_timer end(io, std::chrono::seconds(seconds));
    end.async_wait([&](beast::error_code) {
        for (auto& viewer : viewers)
            viewer->Stop();
    });
    io.run();

    nlohmann::json result = {{"viewers", viewers.size()},
                             {"connected", totals.connected},
                             {"failed", totals.failed},
                             {"inits", totals.inits},
                             {"fragments", totals.fragments},
                             {"bytes", totals.bytes},
                             {"skipped_frames", totals.skippedFrames},
                             {"delay_p50_ms", Percentile(totals.delaysMs, 0.50)},
                             {"delay_p99_ms", Percentile(totals.delaysMs, 0.99)},
                             {"delay_max_ms", Percentile(totals.delaysMs, 1.0)},
                             {"first_error", totals.firstError}};
    std::printf("%s\n", result.dump().c_str());
    return totals.connected == static_cast<int>(viewers.size()) ? 0 : 1;
}
