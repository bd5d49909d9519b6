/* Preloaded into the station for one benchmark figure: every flush to the
 * disk (fsync, fdatasync) takes VENDRILL_BENCH_FLUSH_US microseconds longer,
 * as on an ordinary disk, whatever the machine's own disk does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

static void Hold(void)
{
    const char* text = getenv("VENDRILL_BENCH_FLUSH_US");
    const long us = text ? strtol(text, NULL, 10) : 0;
    if (us <= 0)
        return;
    struct timespec left = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0) {
    }
}

int fsync(int fd)
{
    static int (*real)(int);
    if (!real)
        *(void**)&real = dlsym(RTLD_NEXT, "fsync");
    Hold();
    return real(fd);
}

int fdatasync(int fd)
{
    static int (*real)(int);
    if (!real)
        *(void**)&real = dlsym(RTLD_NEXT, "fdatasync");
    Hold();
    return real(fd);
}
