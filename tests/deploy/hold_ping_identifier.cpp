// Takes the echo identifier a qelvor started next will ask for, its process
// ID, then becomes that qelvor: binds an ICMP datagram socket to the low 16
// bits of its own process ID, keeps it open across exec, and runs the
// command given.
// Usage: hold_ping_identifier <command> [arguments...]
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    int descriptor = socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
    if (descriptor < 0) {
        std::perror("hold_ping_identifier: socket");
        return 2;
    }
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(getpid()));
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::perror("hold_ping_identifier: bind");
        return 2;
    }
    execvp(argv[1], argv + 1);
    std::perror("hold_ping_identifier: exec");
    return 2;
}
