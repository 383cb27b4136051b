#ifndef COMMS_CANFD_CANFD_H
#define COMMS_CANFD_CANFD_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "../../EFIS_shared/comms_types.h"

// One COMMS_MSG_t per CAN FD frame on a SocketCAN interface.
class CANFD {
public:
    CANFD();
    ~CANFD();
    CANFD(const CANFD&) = delete;
    CANFD& operator=(const CANFD&) = delete;

    // The interface is locked before the data socket is opened, and stays
    // locked until disconnect.
    bool connect(const std::string& interface_name);
    void disconnect();
    bool isConnected() const;
    // Keeps `fd`, the lock on the unit reached (lock_unit), until
    // disconnect, as the link's own lock is kept.
    void holdUnitLock(int fd);
    // The unit lock held, -1 when none.
    int unitLockFd() const;
    // The interface bound; empty when closed.
    const std::string& name() const;
    // Why the last connect found the interface but could not use it (not in
    // CAN FD mode, in use by another instance); empty otherwise.
    const std::string& failure() const;

    static const int READ_TIMEOUT_MS = 500;
    // What read returns when nothing came in time: the platform reports an
    // expired receive time-out as an error.
    static const int READ_TIMED_OUT = -1;

    // 72 for an FD frame, 16 for a classic frame, -1 on error or time-out (500 ms).
    int read(COMMS_MSG_t* msg);
    // The same, waiting at most timeout_us; 0 takes only a frame already waiting.
    int read(COMMS_MSG_t* msg, long timeout_us);
    // msg_len on success, -1 on failure or when msg_len exceeds 64.
    int write(const COMMS_MSG_t& msg);
    // Bytes laid out as identifier (4, little-endian), length (1), data.
    int write(const uint8_t* data, size_t length);

private:
    int socket_fd;
    bool connected;
    std::string interface_name;
    int lock_fd;
    int unit_lock_fd;
    std::string failure_text;
};

#endif
