// The processor time a benchmark program has used, on all its threads: on
// a shared machine it varies far less than the elapsed time, which waits
// whenever another process has the cores.
#pragma once

#include <sys/resource.h>

inline double cpu_seconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);  // threads that have ended included
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}
