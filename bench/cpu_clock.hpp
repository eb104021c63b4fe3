// The processor time a benchmark program has used, on all its threads: on
// a shared machine it varies far less than the elapsed time, which waits
// whenever another process has the cores. Split into the time in the
// program itself and the time the kernel spent for it (system calls, page
// faults).
#pragma once

#include <sys/resource.h>

struct CpuTime {
    double user = 0;
    double system = 0;
    long faults = 0;  // page faults served without reading the disk
    double total() const { return user + system; }
};

inline CpuTime cpu_time() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);  // threads that have ended included
    const auto seconds = [](const struct timeval& at) {
        return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_usec) * 1e-6;
    };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_minflt};
}

inline CpuTime operator-(const CpuTime& end, const CpuTime& start) {
    return {end.user - start.user, end.system - start.system, end.faults - start.faults};
}
