/* A preload shim that makes one output step fail, the way a full network
   file system or a racing cleaner would:

     VELK_FAIL_CLOSE=1          close() of a hidden ".tmp" output reports EIO
                                (after really closing it)
     VELK_SLOW_WRITE=<ms>       each write() to a hidden ".tmp" output takes
                                that long first (a slow disk, to be signalled
                                in the middle of)
     VELK_FAIL_RENAME=<suffix>  the first rename() onto a name ending in
                                <suffix> fails with EIO (putting an earlier
                                file back works)
     VELK_SLOW_RENAME=<ms>      each rename() takes that long first (so that
                                two runs' commits overlap)
     VELK_FAIL_FSYNC=1          fsync() of a hidden ".tmp" output reports EIO
     VELK_LOG_SYNC=<file>       each fsync() and rename() is added to <file>
                                as a line: "fsync <path>", "rename <from> <to>"

   Built by the tests: cc -shared -fPIC -o fail_io.so fail_io.c -ldl */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int fd_path(int fd, char *path, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    if (n < 0)
        return 0;
    path[n] = '\0';
    return 1;
}

static int is_temporary_output(int fd)
{
    char path[4096];
    if (!fd_path(fd, path, sizeof path))
        return 0;
    size_t length = strlen(path);
    return length > 4 && strcmp(path + length - 4, ".tmp") == 0;
}

static void log_call(const char *what, const char *first, const char *second)
{
    const char *log = getenv("VELK_LOG_SYNC");
    if (!log)
        return;
    FILE *f = fopen(log, "a");
    if (!f)
        return;
    fprintf(f, second ? "%s %s %s\n" : "%s %s\n", what, first, second);
    fclose(f);
}

int fsync(int fd)
{
    static int (*real_fsync)(int);
    if (!real_fsync)
        real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    char path[4096];
    if (fd_path(fd, path, sizeof path))
        log_call("fsync", path, NULL);
    if (getenv("VELK_FAIL_FSYNC") && is_temporary_output(fd)) {
        errno = EIO;
        return -1;
    }
    return real_fsync(fd);
}

int close(int fd)
{
    static int (*real_close)(int);
    if (!real_close)
        real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
    int fail = getenv("VELK_FAIL_CLOSE") && is_temporary_output(fd);
    int result = real_close(fd);
    if (fail) {
        errno = EIO;
        return -1;
    }
    return result;
}

ssize_t write(int fd, const void *data, size_t size)
{
    static ssize_t (*real_write)(int, const void *, size_t);
    if (!real_write)
        real_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    const char *slow = getenv("VELK_SLOW_WRITE");
    if (slow && is_temporary_output(fd))
        usleep((useconds_t)atoi(slow) * 1000u);
    return real_write(fd, data, size);
}

int rename(const char *from, const char *to)
{
    static int (*real_rename)(const char *, const char *);
    if (!real_rename)
        real_rename = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
    static int failed;
    log_call("rename", from, to);
    const char *slow = getenv("VELK_SLOW_RENAME");
    if (slow)
        usleep((useconds_t)atoi(slow) * 1000u);
    const char *suffix = getenv("VELK_FAIL_RENAME");
    size_t length = strlen(to), tail = suffix ? strlen(suffix) : 0;
    if (suffix && !failed && length >= tail && strcmp(to + length - tail, suffix) == 0) {
        failed = 1;
        errno = EIO;
        return -1;
    }
    return real_rename(from, to);
}
