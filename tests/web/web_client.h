// A blocking HTTP/1.1 client for the web view's tests: raw requests to 127.0.0.1, each read bounded.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace web::test {

// A connected socket to 127.0.0.1:port (-1 when the connection failed); close it with ::close.
inline int Connect(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool SendAll(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

// Whether the server closed fd (end of stream or reset) within limit, reading what it sent.
inline bool ClosedWithin(int fd, std::chrono::milliseconds limit, std::string* received = nullptr)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0)
            continue;
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return true;
        if (received != nullptr)
            received->append(buffer, static_cast<size_t>(got));
    }
    return false;
}

struct Answer {
    int status = 0;   // 0: no answer
    std::string head; // status line and headers
    std::string body;

    // A header's value (name compared without case); empty when absent.
    std::string Header(const std::string& name) const
    {
        for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
            const size_t colon = head.find(':', at + 2);
            const size_t end = head.find("\r\n", at + 2);
            if (colon == std::string::npos || colon > end)
                continue;
            if (strncasecmp(head.c_str() + at + 2, name.c_str(), name.size()) == 0 && colon - at - 2 == name.size())
                return head.substr(colon + 2, end - colon - 2);
        }
        return {};
    }
};

// Sends one request (the server is asked to close afterwards) and reads the whole answer.
inline Answer Fetch(uint16_t port, const std::string& target, const std::string& headers = "",
                    const std::string& method = "GET", const std::string& body = "")
{
    Answer answer;
    const int fd = Connect(port);
    if (fd < 0)
        return answer;
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers;
    if (!body.empty())
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    std::string received;
    if (SendAll(fd, request))
        ClosedWithin(fd, std::chrono::seconds(10), &received);
    close(fd);
    const size_t split = received.find("\r\n\r\n");
    if (split == std::string::npos || received.size() < 12)
        return answer;
    answer.head = received.substr(0, split + 2);
    answer.body = received.substr(split + 4);
    answer.status = std::stoi(received.substr(9, 3));
    return answer;
}

// The body of a chunked answer; complete is false when its last chunk never came.
inline std::string Dechunk(const std::string& body, bool& complete)
{
    std::string data;
    complete = false;
    for (size_t at = 0;;) {
        const size_t end = body.find("\r\n", at);
        if (end == std::string::npos || end == at)
            return data;
        const size_t size = std::stoul(body.substr(at, end - at), nullptr, 16);
        if (size == 0) {
            complete = true;
            return data;
        }
        if (end + 2 + size > body.size())
            return data;
        data += body.substr(end + 2, size);
        at = end + 2 + size + 2;
    }
}

} // namespace web::test
