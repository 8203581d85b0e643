/*
 * slow_fs: a passthrough filesystem whose every write waits a set time first, for the media
 * tests' slow disk. Everything happens in a backing folder; reads, folders, renames and the rest
 * pass straight through.
 *
 *   slow_fs BACKING MOUNTPOINT DELAY_MS
 *
 * Runs in the foreground until unmounted (fusermount3 -u MOUNTPOINT) or signalled; prints "mounted"
 * once the filesystem serves. SIGUSR1 ends the delay: from then on writes pass straight through.
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

static int backing = -1;                 /* the backing folder, opened once before mounting */
static long writeDelayMs;                /* set once before mounting */
static volatile sig_atomic_t delayEnded; /* set by SIGUSR1 */

static void EndDelay(int signal)
{
    (void)signal;
    delayEnded = 1;
}

/* The path relative to the backing folder: "/a/b" is "a/b", "/" is ".". */
static const char* Rel(const char* path)
{
    while (*path == '/')
        ++path;
    return *path ? path : ".";
}

static int Result(int r)
{
    return r < 0 ? -errno : r;
}

static int SlowGetattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    if (fi != NULL)
        return Result(fstat((int)fi->fh, st));
    return Result(fstatat(backing, Rel(path), st, AT_SYMLINK_NOFOLLOW));
}

static int SlowReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* fi,
                       enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)fi;
    (void)flags;
    int fd = openat(backing, Rel(path), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return -errno;
    DIR* dir = fdopendir(fd);
    if (dir == NULL) {
        close(fd);
        return -errno;
    }
    for (struct dirent* entry; (entry = readdir(dir)) != NULL;)
        if (fill(buf, entry->d_name, NULL, 0, 0))
            break;
    closedir(dir);
    return 0;
}

static int SlowMkdir(const char* path, mode_t mode)
{
    return Result(mkdirat(backing, Rel(path), mode));
}

static int SlowUnlink(const char* path)
{
    return Result(unlinkat(backing, Rel(path), 0));
}

static int SlowRmdir(const char* path)
{
    return Result(unlinkat(backing, Rel(path), AT_REMOVEDIR));
}

static int SlowRename(const char* from, const char* to, unsigned int flags)
{
    return Result(renameat2(backing, Rel(from), backing, Rel(to), flags));
}

static int SlowTruncate(const char* path, off_t size, struct fuse_file_info* fi)
{
    if (fi != NULL)
        return Result(ftruncate((int)fi->fh, size));
    int fd = openat(backing, Rel(path), O_WRONLY);
    if (fd < 0)
        return -errno;
    int r = Result(ftruncate(fd, size));
    close(fd);
    return r;
}

static int SlowUtimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi)
{
    if (fi != NULL)
        return Result(futimens((int)fi->fh, tv));
    return Result(utimensat(backing, Rel(path), tv, AT_SYMLINK_NOFOLLOW));
}

static int SlowChmod(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    if (fi != NULL)
        return Result(fchmod((int)fi->fh, mode));
    return Result(fchmodat(backing, Rel(path), mode, 0));
}

static int SlowOpen(const char* path, struct fuse_file_info* fi)
{
    int fd = openat(backing, Rel(path), fi->flags & ~O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int SlowCreate(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    int fd = openat(backing, Rel(path), fi->flags | O_CREAT, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int SlowRead(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi)
{
    (void)path;
    return Result((int)pread((int)fi->fh, buf, size, offset));
}

static int SlowWrite(const char* path, const char* buf, size_t size, off_t offset, struct fuse_file_info* fi)
{
    (void)path;
    struct timespec delay = {writeDelayMs / 1000, (writeDelayMs % 1000) * 1000000L};
    while (!delayEnded && nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
    return Result((int)pwrite((int)fi->fh, buf, size, offset));
}

static int SlowStatfs(const char* path, struct statvfs* st)
{
    (void)path;
    return Result(fstatvfs(backing, st));
}

static int SlowRelease(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int SlowFsync(const char* path, int dataOnly, struct fuse_file_info* fi)
{
    (void)path;
    return Result(dataOnly ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static void* SlowInit(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    (void)conn;
    cfg->use_ino = 1;
    cfg->attr_timeout = 0; /* sizes as the backing files have them, for the tests that watch them */
    cfg->entry_timeout = 0;
    printf("mounted\n"); /* what the test waits for */
    fflush(stdout);
    return NULL;
}

static const struct fuse_operations operations = {
    .getattr = SlowGetattr,
    .mkdir = SlowMkdir,
    .unlink = SlowUnlink,
    .rmdir = SlowRmdir,
    .rename = SlowRename,
    .chmod = SlowChmod,
    .truncate = SlowTruncate,
    .open = SlowOpen,
    .read = SlowRead,
    .write = SlowWrite,
    .statfs = SlowStatfs,
    .release = SlowRelease,
    .fsync = SlowFsync,
    .readdir = SlowReaddir,
    .init = SlowInit,
    .create = SlowCreate,
    .utimens = SlowUtimens,
};

int main(int argc, char* argv[])
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s BACKING MOUNTPOINT DELAY_MS\n", argv[0]);
        return 2;
    }
    backing = open(argv[1], O_RDONLY | O_DIRECTORY);
    if (backing < 0) {
        perror(argv[1]);
        return 2;
    }
    writeDelayMs = atol(argv[3]);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = EndDelay;
    sigaction(SIGUSR1, &action, NULL);
    /* Foreground, one thread per request (so a slow write holds up only its own caller's file),
     * and other users (the core runs as whoever runs the test) may use it. */
    char* fuseArgs[] = {argv[0], "-f", "-o", "default_permissions", argv[2], NULL};
    return fuse_main(5, fuseArgs, &operations, NULL);
}
