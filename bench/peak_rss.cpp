// Runs a command and reports its peak resident memory. The driver cannot
// read it itself: Linux records the peak of the memory a process had before
// its exec into its own, and a child spawned by the driver starts with the
// driver's memory; spawned from this small program, it starts with little.
//
// Usage: peak_rss COMMAND [ARGS...]
// Runs COMMAND with this program's standard streams, waits for it, then
// writes one last line on standard error: peak_rss_kib=N (wait4's
// ru_maxrss: the largest of the command and the descendants it waited for).
// Exits with the command's status, or 128 + the signal that ended it.
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("peak_rss: fork");
        return 126;
    }
    if (child == 0) {
        ::execvp(argv[1], argv + 1);
        std::perror("peak_rss: exec");
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    pid_t waited;
    do {
        waited = ::wait4(child, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
        std::perror("peak_rss: wait4");
        return 126;
    }
    std::fprintf(stderr, "\npeak_rss_kib=%ld\n", usage.ru_maxrss);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
