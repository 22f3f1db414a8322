// take_socket <pid>: tries to copy descriptors 3 to 9 out of another process,
// as any process of the same user may while that process is dumpable. Prints
// "taken" when one came over, otherwise the errno name of the refusal.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    long pidfd = syscall(SYS_pidfd_open, std::atoi(argv[1]), 0);
    int error = pidfd < 0 ? errno : EBADF;
    // EBADF only says there is no such descriptor: try the next one.
    for (int fd = 3; fd <= 9 && error == EBADF; ++fd) {
        if (syscall(SYS_pidfd_getfd, pidfd, fd, 0) >= 0) {
            std::puts("taken");
            return 0;
        }
        error = errno;
    }
    std::puts(strerrorname_np(error));
    return 0;
}
