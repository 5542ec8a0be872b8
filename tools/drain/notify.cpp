// Readiness for a service manager: one datagram per state to $NOTIFY_SOCKET,
// a path or, when it starts with '@', an abstract socket name.
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tools/drain/drain.h"

void notify(const char *state) {
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) return;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    size_t length = strlen(name);
    if (length >= sizeof address.sun_path) return;
    memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&address),
           (socklen_t)(offsetof(sockaddr_un, sun_path) + length));
    close(fd);
}
