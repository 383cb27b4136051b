#include "canfd.h"

#include <fcntl.h>
#include <poll.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../link_lock.h"

namespace {

// Bounds every blocking read and write on the data socket.
const suseconds_t kTimeoutUs = 500000;
// Identifier and length bytes in front of the byte-array form's payload.
const size_t kByteFormHeader = 5;
// Offset of the data bytes in both classic and FD frames.
const size_t kFrameDataOffset = offsetof(struct canfd_frame, data);

void log_errno(const char* what, int err)
{
    std::fprintf(stderr, "%s%s\n", what, std::strerror(err));
}

struct canfd_frame make_frame(uint32_t can_id, uint8_t len, const uint8_t* data)
{
    struct canfd_frame frame;
    std::memset(&frame, 0, sizeof(frame));
    frame.can_id = can_id;
    frame.len = len;
    frame.flags = CANFD_BRS;
    if (len >= 1 && len <= CANFD_MAX_DLEN) {
        std::memcpy(frame.data, data, len);
    }
    return frame;
}

// One frame to the socket; a signal during the call is no failure.
ssize_t write_frame(int fd, const struct canfd_frame& frame)
{
    ssize_t n;
    do {
        n = ::write(fd, &frame, sizeof(frame));
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

CANFD::CANFD() : socket_fd(-1), connected(false), lock_fd(-1), unit_lock_fd(-1)
{
}

CANFD::~CANFD()
{
    disconnect();
}

bool CANFD::connect(const std::string& interface_name)
{
    if (connected) {
        disconnect();
    }
    failure_text.clear();

    // The look-up runs on a throw-away socket so the data socket is opened
    // only for an interface that exists.
    int tmp = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (tmp < 0) {
        log_errno("Failed to create temporary CAN socket: ", errno);
        return false;
    }

    int flags = ::fcntl(tmp, F_GETFL, 0);
    if (flags < 0 || ::fcntl(tmp, F_SETFL, flags | O_NONBLOCK) < 0) {
        log_errno("Failed to set socket to non-blocking: ", errno);
        ::close(tmp);
        return false;
    }

    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    size_t name_len = interface_name.size();
    if (name_len > IFNAMSIZ - 1) {
        name_len = IFNAMSIZ - 1;
    }
    std::memcpy(ifr.ifr_name, interface_name.data(), name_len);
    ifr.ifr_name[IFNAMSIZ - 1] = '\0';
    if (::ioctl(tmp, SIOCGIFINDEX, &ifr) < 0) {
        int err = errno;
        std::fprintf(stderr, "Interface %s does not exist or is not available: %s\n",
                     interface_name.c_str(), std::strerror(err));
        ::close(tmp);
        return false;
    }
    const int ifindex = ifr.ifr_ifindex;
    // With a classic MTU the kernel takes the FD option, then refuses every
    // FD frame with EINVAL: the unit would look silent.
    if (::ioctl(tmp, SIOCGIFMTU, &ifr) == 0 && ifr.ifr_mtu < static_cast<int>(CANFD_MTU)) {
        failure_text = interface_name + " is not in CAN FD mode (MTU " + std::to_string(ifr.ifr_mtu) +
                       "): bring it up with `ip link set " + interface_name +
                       " up type can bitrate 1000000 dbitrate 5000000 fd on`";
        std::fprintf(stderr, "%s\n", failure_text.c_str());
        ::close(tmp);
        return false;
    }
    ::close(tmp);

    lock_fd = lock_can_interface(interface_name, ifindex, &failure_text);
    if (lock_fd < 0) {
        std::fprintf(stderr, "%s\n", failure_text.c_str());
        return false;
    }

    socket_fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (socket_fd < 0) {
        log_errno("Failed to create CAN socket: ", errno);
        disconnect();
        return false;
    }

    struct timeval tv;
    tv.tv_sec = 0;
    tv.tv_usec = kTimeoutUs;
    const char* failure = nullptr;
    if (::setsockopt(socket_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0) {
        failure = "Failed to set receive timeout: ";
    } else if (::setsockopt(socket_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) < 0) {
        failure = "Failed to set send timeout: ";
    } else {
        int enable_fd = 1;
        if (::setsockopt(socket_fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable_fd, sizeof(enable_fd)) < 0) {
            failure = "Failed to enable CAN FD frames: ";
        }
    }
    if (failure != nullptr) {
        log_errno(failure, errno);
        disconnect();
        return false;
    }

    struct sockaddr_can addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifindex;
    if (::bind(socket_fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
        int err = errno;
        std::fprintf(stderr, "Failed to bind CAN socket to %s: %s\n", interface_name.c_str(),
                     std::strerror(err));
        disconnect();
        return false;
    }

    this->interface_name = interface_name;
    connected = true;
    return true;
}

void CANFD::disconnect()
{
    if (socket_fd >= 0) {
        ::close(socket_fd);
        socket_fd = -1;
    }
    // Released only once the data socket is closed.
    if (unit_lock_fd >= 0) {
        ::close(unit_lock_fd);
        unit_lock_fd = -1;
    }
    if (lock_fd >= 0) {
        ::close(lock_fd);
        lock_fd = -1;
    }
    connected = false;
    interface_name.clear();
}

void CANFD::holdUnitLock(int fd)
{
    if (unit_lock_fd >= 0) {
        ::close(unit_lock_fd);
    }
    unit_lock_fd = fd;
}

int CANFD::unitLockFd() const
{
    return unit_lock_fd;
}

const std::string& CANFD::name() const
{
    return interface_name;
}

const std::string& CANFD::failure() const
{
    return failure_text;
}

bool CANFD::isConnected() const
{
    return connected && socket_fd >= 0;
}

int CANFD::read(COMMS_MSG_t* msg)
{
    return read(msg, READ_TIMEOUT_MS * 1000L);
}

int CANFD::read(COMMS_MSG_t* msg, long timeout_us)
{
    if (!connected || socket_fd < 0 || msg == nullptr) {
        return -1;
    }

    // The socket's own time-out bounds a full wait; a shorter one is waited
    // for first, so that the read below never blocks past it.
    if (timeout_us < READ_TIMEOUT_MS * 1000L) {
        struct pollfd p;
        p.fd = socket_fd;
        p.events = POLLIN;
        p.revents = 0;
        struct timespec ts;
        ts.tv_sec = timeout_us <= 0 ? 0 : timeout_us / 1000000;
        ts.tv_nsec = timeout_us <= 0 ? 0 : (timeout_us % 1000000) * 1000;
        int ready;
        do {
            ready = ::ppoll(&p, 1, &ts, nullptr);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) {
            return -1;
        }
    }

    struct canfd_frame frame;
    std::memset(&frame, 0, sizeof(frame));
    ssize_t n;
    do {
        n = ::read(socket_fd, &frame, sizeof(frame));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return static_cast<int>(n);
    }

    std::memset(msg, 0, sizeof(*msg));
    msg->iface = CAN_FD;
    msg->can_ID = frame.can_id;
    msg->msg_len = frame.len;

    // Only bytes that actually arrived are copied: a classic frame carries 8,
    // and a lying len byte never reaches past data.
    size_t present = static_cast<size_t>(n) > kFrameDataOffset ? static_cast<size_t>(n) - kFrameDataOffset : 0;
    size_t count = frame.len;
    if (count > present) {
        count = present;
    }
    if (count > sizeof(msg->data)) {
        count = sizeof(msg->data);
    }
    std::memcpy(msg->data, frame.data, count);
    return static_cast<int>(n);
}

int CANFD::write(const COMMS_MSG_t& msg)
{
    if (!connected || socket_fd < 0) {
        std::fprintf(stderr, "CANFD::write: Not connected or invalid socket\n");
        return -1;
    }
    if (msg.msg_len > CANFD_MAX_DLEN) {
        std::fprintf(stderr, "CANFD::write: Message too long (msg_len %u, at most 64)\n",
                     static_cast<unsigned>(msg.msg_len));
        return -1;
    }

    struct canfd_frame frame = make_frame(msg.can_ID, msg.msg_len, msg.data);
    const ssize_t n = write_frame(socket_fd, frame);
    if (n != static_cast<ssize_t>(sizeof(frame))) {
        // A raw CAN socket takes the whole frame or fails; anything else is
        // treated as the failure it stands for.
        log_errno("CANFD::write: Write failed: ", n < 0 ? errno : EIO);
        return -1;
    }
    return msg.msg_len;
}

int CANFD::write(const uint8_t* data, size_t length)
{
    if (!connected || socket_fd < 0 || data == nullptr || length <= 4) {
        return -1;
    }
    uint32_t can_id = get_le32(data);
    uint8_t len = data[4];
    if (len > CANFD_MAX_DLEN || length < static_cast<size_t>(len) + kByteFormHeader) {
        return -1;
    }

    struct canfd_frame frame = make_frame(can_id, len, data + kByteFormHeader);
    const ssize_t n = write_frame(socket_fd, frame);
    return n > 0 ? static_cast<int>(n) : -1;
}
