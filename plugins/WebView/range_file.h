// A File for Beast's basic_file_body that serves one byte range of an open descriptor: size() is
// the range's length and reads come from its first byte on, so a 206 response streams from the
// file without staging it. It owns the descriptor.
#pragma once

#include <boost/beast/core/error.hpp>
#include <boost/beast/core/file_base.hpp>

#include <cerrno>
#include <cstdint>
#include <unistd.h>
#include <utility>

namespace webview {

class RangeFile {
public:
    RangeFile() = default;
    RangeFile(int fd, uint64_t first, uint64_t length)
        : fd_(fd),
          first_(first),
          length_(length)
    {
    }
    ~RangeFile() { Close(); }
    RangeFile(RangeFile&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)),
          first_(other.first_),
          length_(other.length_),
          pos_(other.pos_)
    {
    }
    RangeFile& operator=(RangeFile&& other) noexcept
    {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
            first_ = other.first_;
            length_ = other.length_;
            pos_ = other.pos_;
        }
        return *this;
    }

    // Beast's File interface; only reading is used.
    bool is_open() const { return fd_ >= 0; }
    void close(boost::beast::error_code& ec)
    {
        Close();
        ec = {};
    }
    void open(const char*, boost::beast::file_mode, boost::beast::error_code& ec)
    {
        ec = boost::beast::errc::make_error_code(boost::beast::errc::operation_not_supported);
    }
    uint64_t size(boost::beast::error_code& ec) const
    {
        ec = {};
        return length_;
    }
    uint64_t pos(boost::beast::error_code& ec) const
    {
        ec = {};
        return pos_;
    }
    void seek(uint64_t offset, boost::beast::error_code& ec)
    {
        pos_ = offset;
        ec = {};
    }
    size_t read(void* buffer, size_t n, boost::beast::error_code& ec)
    {
        ec = {};
        if (pos_ >= length_)
            return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, length_ - pos_));
        for (;;) {
            const ssize_t got = pread(fd_, buffer, n, static_cast<off_t>(first_ + pos_));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                ec = boost::beast::error_code(errno, boost::beast::system_category());
                return 0;
            }
            pos_ += static_cast<uint64_t>(got);
            return static_cast<size_t>(got);
        }
    }
    size_t write(const void*, size_t, boost::beast::error_code& ec)
    {
        ec = boost::beast::errc::make_error_code(boost::beast::errc::operation_not_supported);
        return 0;
    }

private:
    void Close()
    {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

    int fd_ = -1;
    uint64_t first_ = 0;
    uint64_t length_ = 0;
    uint64_t pos_ = 0; // from first_
};

} // namespace webview
