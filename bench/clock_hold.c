// clock_hold: an LD_PRELOAD library that holds a thread up before it reads
// the time of day, as a loaded machine does now and then between two clock
// readings that are meant to go together.
//
// Every clock_gettime(CLOCK_REALTIME) waits CLOCK_HOLD_US microseconds (900
// when unset) first, in CLOCK_HOLD_PERCENT percent of the calls (50 when
// unset), chosen at random. For instance, in a network namespace of its own:
//   cc -O2 -shared -fPIC -o clock_hold.so bench/clock_hold.c -ldl
//   unshare -n sh -c 'ip link set lo up && LD_PRELOAD=./clock_hold.so
//     qelvor 127.0.0.1 -n 200 -p 0 -w 100 | tail -n 1'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);

int clock_gettime(clockid_t clock, struct timespec* time) {
    static clock_gettime_fn real;
    static long hold_us = -1, percent;
    if (real == NULL) real = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
    if (hold_us < 0) {
        const char* hold = getenv("CLOCK_HOLD_US");
        const char* share = getenv("CLOCK_HOLD_PERCENT");
        percent = share != NULL ? atol(share) : 50;
        hold_us = hold != NULL ? atol(hold) : 900;
    }
    if (clock == CLOCK_REALTIME && rand() % 100 < percent) {
        struct timespec pause = {hold_us / 1000000, hold_us % 1000000 * 1000};
        nanosleep(&pause, NULL);
    }
    return real(clock, time);
}
