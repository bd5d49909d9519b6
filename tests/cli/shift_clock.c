/* Preloaded into a program to move its wall clock: VENDRILL_TEST_CLOCK_SHIFT
 * seconds are added to every reading of the real-time clock, as on a machine
 * whose clock is set wrong. Monotonic clocks are left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

static long Shift(void)
{
    const char* text = getenv("VENDRILL_TEST_CLOCK_SHIFT");
    return text ? strtol(text, NULL, 10) : 0;
}

int clock_gettime(clockid_t clock, struct timespec* ts)
{
    static int (*real)(clockid_t, struct timespec*);
    if (!real)
        *(void**)&real = dlsym(RTLD_NEXT, "clock_gettime");
    const int r = real(clock, ts);
    if (r == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        ts->tv_sec += Shift();
    return r;
}

int gettimeofday(struct timeval* tv, void* tz)
{
    static int (*real)(struct timeval*, void*);
    if (!real)
        *(void**)&real = dlsym(RTLD_NEXT, "gettimeofday");
    const int r = real(tv, tz);
    if (r == 0)
        tv->tv_sec += Shift();
    return r;
}

time_t time(time_t* out)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (out)
        *out = ts.tv_sec;
    return ts.tv_sec;
}
