#include "link_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

std::string in_use(const std::string& where, pid_t holder)
{
    const std::string who = holder > 0 ? "process " + std::to_string(holder) : std::string("another process");
    return "the unit on " + where + " is in use by another Skarvel EFIS Config (" + who + ")";
}

// flock does not name its holder; /proc/locks does, by the locked file's
// device and inode. 0 when no line matches (or the holder lives in another
// PID namespace).
pid_t flock_holder(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return 0;
    }
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) {
        return 0;
    }
    pid_t holder = 0;
    char line[256];
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:05:678 0 EOF"; a waiter's line
        // has "->" before FLOCK and is not matched.
        char kind[16];
        int pid = 0;
        unsigned maj = 0;
        unsigned min = 0;
        unsigned long ino = 0;
        if (std::sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &pid, &maj, &min, &ino) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) &&
            ino == st.st_ino) {
            holder = pid;
        }
    }
    std::fclose(locks);
    return holder;
}

socklen_t abstract_address(const std::string& name, struct sockaddr_un* addr)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    // sun_path[0] stays 0: the abstract namespace, no file anywhere.
    std::memcpy(addr->sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
}

// The process listening on the lock's address, 0 if it cannot be told.
pid_t lock_holder(const struct sockaddr_un& addr, socklen_t len)
{
    // Non-blocking: a holder whose backlog is full must not hold us up.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
        return 0;
    }
    pid_t holder = 0;
    struct ucred cred;
    socklen_t cred_len = sizeof cred;
    if (::connect(probe, reinterpret_cast<const struct sockaddr*>(&addr), len) == 0 &&
        ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) == 0) {
        holder = cred.pid;
    }
    ::close(probe);
    return holder;
}

}  // namespace

std::string hid_open_failure(const std::string& path, int err)
{
    std::string text = "found the unit at " + path + " but cannot open it: " +
                       (err != 0 ? std::strerror(err) : "the HID library gave no reason");
    if (err == EACCES || err == EPERM) {
        text += " - install the udev rule, see README";
    }
    return text;
}

int lock_hid_node(const std::string& path, std::string* failure)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *failure = hid_open_failure(path, errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return fd;
    }
    const int err = errno;
    *failure = err == EWOULDBLOCK ? in_use(path, flock_holder(fd))
                                  : "cannot lock the unit at " + path + ": " + std::strerror(err);
    ::close(fd);
    return -1;
}

namespace {

// Binds and listens on the abstract address `lock_name`: the descriptor,
// or -1 with *failure naming `what` (the holder's process when it is busy).
int lock_abstract(const std::string& lock_name, const std::string& what, std::string* failure)
{
    struct sockaddr_un addr;
    const socklen_t len = abstract_address(lock_name, &addr);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), len) == 0 &&
        ::listen(fd, SOMAXCONN) == 0) {
        return fd;
    }
    const int err = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    *failure = err == EADDRINUSE ? in_use(what, lock_holder(addr, len))
                                 : "cannot lock " + what + ": " + std::strerror(err);
    return -1;
}

}  // namespace

int lock_can_interface(const std::string& name, int ifindex, std::string* failure)
{
    // The interface's index names it: unique within the network namespace,
    // as the abstract name is, and unchanged by a rename, so two processes on
    // one interface always meet.
    return lock_abstract("skarvel-efis/can-ifindex-" + std::to_string(ifindex), name, failure);
}

int lock_unit(uint32_t serial, const std::string& where, std::string* failure)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(serial));
    return lock_abstract(std::string("skarvel-efis/unit-") + hex, where + " (0x" + hex + ")", failure);
}
