/* Runs a command with its standard output sent to a file, optionally ends it with SIGTERM after
 * a number of seconds, and prints what it cost: its CPU time, its peak resident set and the wall
 * time, from wait4's resource usage of exactly that child.
 *
 * Usage: measure SECONDS OUTFILE COMMAND [ARG...]   (SECONDS 0: wait for the command to end)
 * Prints: user_us=<n> system_us=<n> maxrss_kib=<n> wall_us=<n> status=<n> */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double NowUs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s SECONDS OUTFILE COMMAND [ARG...]\n", argv[0]);
        return 2;
    }
    double seconds = atof(argv[1]);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        perror(argv[2]);
        return 2;
    }
    double start = NowUs();
    pid_t child = fork();
    if (child == 0) {
        dup2(out, 1);
        close(out);
        execvp(argv[3], argv + 3);
        perror(argv[3]);
        _exit(127);
    }
    close(out);
    int status = 0;
    struct rusage usage;
    if (seconds > 0) {
        struct timespec slice = {0, 10 * 1000000L};
        while (NowUs() - start < seconds * 1e6) {
            if (waitpid(child, &status, WNOHANG) == child) {
                fprintf(stderr, "measure: the command ended before the time was up\n");
                return 1;
            }
            nanosleep(&slice, NULL);
        }
        kill(child, SIGTERM);
    }
    if (wait4(child, &status, 0, &usage) != child) {
        perror("wait4");
        return 2;
    }
    double wall = NowUs() - start;
    printf("user_us=%ld system_us=%ld maxrss_kib=%ld wall_us=%.0f status=%d\n",
           (long)usage.ru_utime.tv_sec * 1000000L + (long)usage.ru_utime.tv_usec,
           (long)usage.ru_stime.tv_sec * 1000000L + (long)usage.ru_stime.tv_usec, usage.ru_maxrss,
           wall, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}
