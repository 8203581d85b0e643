// The RTSP session against a camera played by the test on 127.0.0.1: the set-up with a Digest
// challenge, the channels the camera picks, media before the PLAY answer, what comes out of the
// stream (and what is left out), the keep-alive on the session's clock, and the cases handed to
// FFmpeg's client.
#include "rtsp_session.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/error.h>
}

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using media_source::RtspOffer;
using media_source::RtspSession;

namespace {

// One camera connection: each request read is given to answer, whose text is sent back; the
// methods seen are kept. Ends when the client closes.
class FakeCamera {
public:
    using Answer = std::function<std::string(const std::string& method, const std::string& request)>;

    explicit FakeCamera(Answer answer)
        : answer_(std::move(answer))
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeCamera()
    {
        shutdown(listener_, SHUT_RDWR);
        WaitClosed();
        close(listener_);
    }
    std::string Url(const std::string& credentials = "") const
    {
        return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(port_) + "/s";
    }
    // Waits until the client has closed its connection: every request it sent is then kept.
    void WaitClosed()
    {
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<std::string> Requests()
    {
        const std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void Serve()
    {
        const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        std::string held;
        char chunk[4096];
        for (;;) {
            const size_t end = held.find("\r\n\r\n");
            if (end == std::string::npos) {
                const ssize_t got = recv(connection, chunk, sizeof chunk, 0);
                if (got <= 0)
                    break;
                held.append(chunk, static_cast<size_t>(got));
                continue;
            }
            const std::string request = held.substr(0, end + 4);
            held.erase(0, end + 4);
            const std::string method = request.substr(0, request.find(' '));
            {
                const std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            const std::string reply = answer_(method, request);
            if (send(connection, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size()))
                break;
        }
        close(connection);
    }

    Answer answer_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_; // guarded by mutex_
};

std::string CSeqOf(const std::string& request)
{
    const size_t at = request.find("CSeq: ") + 6;
    return request.substr(at, request.find("\r\n", at) - at);
}

std::string Reply(const std::string& request, const std::string& status, const std::string& headers = "",
                  const std::string& body = "")
{
    return "RTSP/1.0 " + status + "\r\nCSeq: " + CSeqOf(request) + "\r\n" + headers +
           (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") + "\r\n" + body;
}

// An interleaved packet: RTP with payload type and SSRC, or RTCP (type 200) of SSRC.
std::string Packet(int channel, int type, uint32_t ssrc)
{
    std::string bytes(12, '\0');
    bytes[0] = '\x80';
    bytes[1] = static_cast<char>(type < 128 ? type : 200);
    for (int i = 0; i < 4; ++i)
        bytes[(type < 128 ? 8 : 4) + i] = static_cast<char>(ssrc >> (24 - 8 * i));
    return std::string{'$', static_cast<char>(channel), 0, static_cast<char>(bytes.size())} + bytes;
}

const std::string SDP = "v=0\r\ns=cam\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                        "a=control:track1\r\nm=audio 0 RTP/AVP 8\r\na=control:track2\r\n";

} // namespace

TEST(RtspSession, ASessionIsSetUpAsTheCameraSaysAndOnlyItsMediaComesOutWithKeepAlivesOnTime)
{
    std::atomic<int64_t> now{0};
    FakeCamera camera([&](const std::string& method, const std::string& request) -> std::string {
        const bool authorized = request.find("Authorization: Digest username=\"u\"") != std::string::npos;
        if (method == "OPTIONS")
            return Reply(request, "200 OK", "Public: OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER\r\n");
        if (!authorized)
            return Reply(request, "401 Unauthorized", "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n");
        if (method == "DESCRIBE")
            return Reply(request, "200 OK", "Content-Base: rtsp://127.0.0.1/s/\r\n", SDP);
        if (method == "SETUP") // channels of the camera's choosing, not the ones asked for
            return Reply(request, "200 OK",
                         std::string("Transport: RTP/AVP/TCP;unicast;interleaved=") +
                             (request.find("track1") != std::string::npos ? "4-5" : "6-7") +
                             "\r\nSession: abc;timeout=2\r\n");
        if (method == "PLAY") // a packet before the answer, then the stream
            return Packet(4, 96, 7) + Reply(request, "200 OK") + Packet(5, 200, 7) + Packet(4, 100, 7) + "xyz" +
                   Packet(9, 96, 7) + "RTSP/1.0 200 OK\r\nCSeq: 99\r\n\r\n" + Packet(5, 200, 7) + Packet(6, 8, 9);
        if (method == "GET_PARAMETER")
            return Reply(request, "200 OK") + Packet(6, 8, 9);
        return "";
    });
    {
        // Once told to, a wait is interrupted if the session said it was about to wait.
        std::atomic<int> dry{0};
        std::atomic<bool> endOnceDry{false};
        RtspSession session([&] { return endOnceDry && dry > 0; }, [&] { return now.load(); });
        session.SetBeforeWait([&] { ++dry; });
        RtspOffer offer;
        std::string reason;
        ASSERT_EQ(session.Open(camera.Url("u:p@"), offer, reason), RtspSession::OpenResult::Playing) << reason;
        ASSERT_EQ(offer.media.size(), 2u);

        uint8_t packet[2048];
        // The early packet and the report before its stream's first packet are left out; the
        // packet's type becomes its channel's; other channels, stray bytes and answers are skipped.
        ASSERT_EQ(session.ReadPacket(packet, sizeof packet), 12);
        EXPECT_EQ(packet[1], 96);
        ASSERT_EQ(session.ReadPacket(packet, sizeof packet), 12);
        EXPECT_EQ(packet[1], 200);
        ASSERT_EQ(session.ReadPacket(packet, sizeof packet), 12);
        EXPECT_EQ(packet[1], 8);
        // Half the session's time-out on: a keep-alive goes before the next read, answered with
        // the next packet.
        now = 1'000'000'000;
        ASSERT_EQ(session.ReadPacket(packet, sizeof packet), 12);
        EXPECT_EQ(packet[1], 8);
        // Nothing more comes: the session says so before it waits (a camera's frames read so far
        // are sent then), and the interruption ends the wait.
        dry = 0;
        endOnceDry = true;
        EXPECT_EQ(session.ReadPacket(packet, sizeof packet), AVERROR_EXIT);
        EXPECT_GT(dry.load(), 0);
    }
    camera.WaitClosed(); // the TEARDOWN may still be on its way
    const std::vector<std::string> requests = camera.Requests();
    std::vector<std::string> methods;
    for (const std::string& request : requests)
        methods.push_back(request.substr(0, request.find(' ')));
    EXPECT_EQ(methods, (std::vector<std::string>{"OPTIONS", "DESCRIBE", "DESCRIBE", "SETUP", "SETUP", "PLAY",
                                                 "GET_PARAMETER", "TEARDOWN"}));
    ASSERT_EQ(requests.size(), 8u);
    EXPECT_NE(requests[3].find("SETUP rtsp://127.0.0.1/s/track1 "), std::string::npos) << requests[3];
    EXPECT_NE(requests[4].find("Session: abc\r\n"), std::string::npos) << requests[4];
    for (size_t i = 2; i < requests.size(); ++i) {
        EXPECT_NE(requests[i].find("Authorization: Digest"), std::string::npos) << requests[i];
        EXPECT_EQ(requests[i].find(":p@"), std::string::npos) << requests[i]; // no password in a URL
    }
}

TEST(RtspSession, WhatTheSessionDoesNotDoIsLeftToFfmpegsClientAndARefusalFails)
{
    struct Case {
        const char* describe;  // DESCRIBE's status
        const char* transport; // SETUP's Transport header
        RtspSession::OpenResult result;
    } cases[] = {
        {"302 Moved", "", RtspSession::OpenResult::Unsupported},
        {"200 OK", "RTP/AVP;unicast;client_port=5000-5001", RtspSession::OpenResult::Unsupported},
        {"404 Not Found", "", RtspSession::OpenResult::Failed},
    };
    for (const Case& c : cases) {
        FakeCamera camera([&](const std::string& method, const std::string& request) -> std::string {
            if (method == "DESCRIBE")
                return Reply(request, c.describe, "", std::string(c.describe) == "200 OK" ? SDP : "");
            if (method == "SETUP")
                return Reply(request, "200 OK", std::string("Transport: ") + c.transport + "\r\nSession: 1\r\n");
            return Reply(request, "200 OK");
        });
        RtspSession session([] { return false; });
        RtspOffer offer;
        std::string reason;
        EXPECT_EQ(session.Open(camera.Url(), offer, reason), c.result) << c.describe << " " << c.transport;
        EXPECT_NE(reason, "") << c.describe;
    }
}
