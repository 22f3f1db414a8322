// runner: runs one command and tells what it cost.
//
//   runner [-o FILE] [-e FILE] [-t SECONDS] -- COMMAND [ARGUMENT...]
//
// The command's standard output goes to -o (default /dev/null), its standard
// error to -e (default: the same file as -o). After it ends, one line goes
// to standard output:
//
//   wall_ns=N user_us=N system_us=N maxrss_kb=N status=N
//
// wall_ns is taken around fork and wait4, so process start-up and exit are
// part of it, as they are for a user. status is the exit code, 128 + the
// signal number when a signal ended it, and 124 when the time limit (-t,
// default 600 s) ran out and the runner killed it.
//
// The resource figures are the child's own, from wait4. Its peak resident
// size starts from what fork copied of this process, which is why the
// runner stays a small C program with nothing on its heap.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t timed_out;
static pid_t child;

static void on_alarm(int signal_number) {
    (void)signal_number;
    timed_out = 1;
    if (child > 0) kill(child, SIGKILL);
}

static long long now_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static int usage(void) {
    fprintf(stderr, "usage: runner [-o FILE] [-e FILE] [-t SECONDS] -- COMMAND [ARGUMENT...]\n");
    return 2;
}

int main(int argc, char** argv) {
    const char* out_path = "/dev/null";
    const char* err_path = NULL;
    unsigned limit_s = 600;
    int i = 1;
    for (; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (i + 1 >= argc) return usage();
        if (strcmp(argv[i], "-o") == 0) {
            out_path = argv[++i];
        } else if (strcmp(argv[i], "-e") == 0) {
            err_path = argv[++i];
        } else if (strcmp(argv[i], "-t") == 0) {
            limit_s = (unsigned)strtoul(argv[++i], NULL, 10);
        } else {
            return usage();
        }
    }
    if (i >= argc) return usage();

    int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = err_path ? open(err_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : out;
    if (out < 0 || err < 0) {
        perror("runner: open");
        return 2;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, NULL);

    long long start = now_ns();
    child = fork();
    if (child < 0) {
        perror("runner: fork");
        return 2;
    }
    if (child == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        int null_in = open("/dev/null", O_RDONLY);
        if (null_in >= 0) dup2(null_in, STDIN_FILENO);
        execvp(argv[i], argv + i);
        fprintf(stderr, "runner: cannot run %s: %s\n", argv[i], strerror(errno));
        _exit(127);
    }
    alarm(limit_s);

    int status = 0;
    struct rusage usage_of_child;
    while (wait4(child, &status, 0, &usage_of_child) < 0) {
        if (errno != EINTR) {
            perror("runner: wait4");
            return 2;
        }
    }
    long long wall = now_ns() - start;
    alarm(0);

    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (timed_out) code = 124;
    printf("wall_ns=%lld user_us=%lld system_us=%lld maxrss_kb=%ld status=%d\n", wall,
           (long long)usage_of_child.ru_utime.tv_sec * 1000000LL + usage_of_child.ru_utime.tv_usec,
           (long long)usage_of_child.ru_stime.tv_sec * 1000000LL + usage_of_child.ru_stime.tv_usec,
           usage_of_child.ru_maxrss, code);
    return 0;
}
