#include "folder_access.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>

namespace segrec {
namespace {

} // namespace

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

namespace {

// Why an open of name refused by the kernel failed, in a log line's words.
std::string OpenError(int error)
{
    return error == ELOOP ? "it is a symlink" : error == ENOTDIR ? "it is not a folder" : strerror(error);
}

} // namespace

UniqueFd OpenFolderAt(int parent, const std::string& name, bool create, std::string& why)
{
    if (create && mkdirat(parent, name.c_str(), 0755) == 0) {
        // The new entry is in parent: durable only once parent is synced.
        if (fsync(parent) != 0) {
            why = std::string("was made, but its parent folder cannot be synced: ") + strerror(errno);
            return UniqueFd();
        }
    } else if (create && errno != EEXIST) {
        why = std::string("cannot be made: ") + strerror(errno);
        return UniqueFd();
    }
    // O_NOFOLLOW refuses a symlink (ELOOP), O_DIRECTORY anything else that is no folder, FIFOs
    // included, before it is opened.
    UniqueFd folder(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (folder.Get() < 0) {
        // A symlink to a folder fails as "not a folder": the log line says which it is.
        const int error = errno;
        struct stat info {};
        const bool link = fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
        why = link ? "it is a symlink" : OpenError(error);
        errno = error;
    }
    return folder;
}

UniqueFd OpenFileAt(int folder, const std::string& name, int flags, std::string& why)
{
    UniqueFd file(openat(folder, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (file.Get() < 0) {
        why = OpenError(errno);
        return file;
    }
    struct stat info {};
    if (fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "it is not a regular file";
        errno = EINVAL;
        return UniqueFd();
    }
    // Regular files ignore O_NONBLOCK; it is taken off so the descriptor reads as any other.
    const int status = fcntl(file.Get(), F_GETFL);
    if (status < 0 || fcntl(file.Get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        why = strerror(errno);
        return UniqueFd();
    }
    return file;
}

bool ReplaceFileAt(int folder, const std::string& name, const std::string& text, std::string& why,
                   const TextWriter& write)
{
    const std::string temp = name + ".tmp";
    const char* step = "remove the old";
    if (unlinkat(folder, temp.c_str(), 0) == 0 || errno == ENOENT) {
        step = "create";
        UniqueFd file(openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (file.Get() >= 0) {
            step = "write";
            // The rename is durable only once the folder itself is synced.
            if (write(file.Get(), text) && (step = "sync", fsync(file.Get()) == 0) &&
                (step = "close", close(file.Release()) == 0) &&
                (step = "rename", renameat(folder, temp.c_str(), folder, name.c_str()) == 0) &&
                (step = "sync the folder of", fsync(folder) == 0))
                return true;
        }
    }
    why = std::string("cannot ") + step + " " + name + ": " + strerror(errno);
    return false;
}

std::vector<std::pair<std::string, struct stat>> ListFolder(int folder)
{
    std::vector<std::pair<std::string, struct stat>> entries;
    const int copy = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return entries;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(fdopendir(copy), closedir);
    if (!listing) {
        close(copy);
        return entries;
    }
    rewinddir(listing.get()); // the copy shares its offset with folder
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (name != "." && name != ".." && fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            entries.emplace_back(name, info);
    }
    return entries;
}

UniqueFd LockFolder(int folder, const std::string& name, std::string& why)
{
    UniqueFd lock = OpenFileAt(folder, name, O_RDWR | O_CREAT, why);
    if (lock.Get() < 0) {
        why = "its lock file " + name + ": " + why;
        return lock;
    }
    if (flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        why = errno == EWOULDBLOCK ? "another process records into it (it holds the lock file " + name + ")"
                                   : "cannot lock its lock file " + name + ": " + strerror(errno);
        return UniqueFd();
    }
    return lock;
}

} // namespace segrec
