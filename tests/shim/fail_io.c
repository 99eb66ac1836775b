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

   Built by the tests: cc -shared -fPIC -o fail_io.so fail_io.c -ldl */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int is_temporary_output(int fd)
{
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0)
        return 0;
    path[n] = '\0';
    size_t length = (size_t)n;
    return length > 4 && strcmp(path + length - 4, ".tmp") == 0;
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
