// Access to the recordings folder, which the process does not own: another process or user may have
// put a symlink, a FIFO or a device anywhere under it. Every name is opened relative to its folder's
// descriptor with O_NOFOLLOW, files non-blocking and only when regular, and temporary files are
// created with O_EXCL, so nothing outside the folder is read, written or deleted and no open blocks.
// Plain POSIX, no state; callable from any thread.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace segrec {

// A descriptor closed when it goes out of scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd_(fd)
    {
    }
    ~UniqueFd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(other.Release())
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            if (fd_ >= 0)
                close(fd_);
            fd_ = other.Release();
        }
        return *this;
    }
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// The folder name inside the folder parent, made first when create is set (mode 0755; parent is
// then fsync'd, so the new folder survives a power cut with the files made in it). Refused (-1,
// with why: "it is a symlink", "it is not a folder" or the system's text) when name is a symlink or
// not a folder; errno is ENOENT only when it does not exist.
UniqueFd OpenFolderAt(int parent, const std::string& name, bool create, std::string& why);

// The regular file name inside folder, opened with flags (O_CREAT makes it with mode 0644) and
// never through a symlink; a FIFO or device is refused without blocking ("it is not a regular
// file"). -1 with why on failure;
// errno is ENOENT only when it does not exist, EEXIST when O_EXCL found it.
UniqueFd OpenFileAt(int folder, const std::string& name, int flags, std::string& why);

// Writes all of text to fd; false with errno set when it could not.
using TextWriter = std::function<bool(int fd, const std::string& text)>;
bool WriteAll(int fd, const std::string& text);

// Replaces name inside folder with text so that a crash leaves the old or the new content: a new
// temporary file "<name>.tmp" (whatever had that name is removed first, then O_EXCL) written with
// write, fsync, rename over name, fsync of the folder. false with why; name is untouched then.
bool ReplaceFileAt(int folder, const std::string& name, const std::string& text, std::string& why,
                   const TextWriter& write = WriteAll);

// The names in folder (not "." or "..") with their lstat information; entries that vanish while
// listed are left out.
std::vector<std::pair<std::string, struct stat>> ListFolder(int folder);

// Locks folder for this process alone: the lock file name inside it is opened (made when missing)
// and locked with flock, held until the descriptor is closed. -1 with why when another process
// holds it or the lock file cannot be used.
UniqueFd LockFolder(int folder, const std::string& name, std::string& why);

} // namespace segrec
