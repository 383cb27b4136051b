// The request protocol over the link manager: values asked for, set and
// stored, the acknowledgements that answer them, and the reboot.
#include "comms.h"

#include <chrono>
#include <cstdio>

#include "comms_internal.h"

using namespace comms_internal;

namespace {

using Clock = std::chrono::steady_clock;

// Overall limit of get_value when unrelated traffic keeps arriving.
const std::chrono::milliseconds kValueDeadline(500);

struct TargetIds {
    uint32_t request;
    uint32_t response;
    uint32_t set;
    uint32_t store;
};

TargetIds ids_for(target_comms_t src)
{
    if (src == SENSOR_COMMS) {
        return {CANMSG_REQUEST_SENSOR_CALIB, CANMSG_SEND_SENSOR_CALIB, CANMSG_SET_SENSOR_CALIB,
                CANMSG_SAVE_SENSOR_CALIB};
    }
    return {CANMSG_REQUEST_USER_SETTING, CANMSG_SEND_USER_SETTING, CANMSG_SET_USER_SETTING,
            CANMSG_SAVE_USER_SETTINGS};
}

enum Verdict { VERDICT_SKIP, VERDICT_OK, VERDICT_FAIL };

// What an acknowledgement wait makes of one message; prints why it fails.
Verdict judge_ack(const COMMS_MSG_t& msg, uint32_t expected_can_id)
{
    // A NACK ends the wait whatever command it refers to.
    if (msg.can_ID == CANMSG_NACK) {
        std::puts("NACK received from device (CAN ID 0x254).");
        return VERDICT_FAIL;
    }
    if (msg.can_ID != CANMSG_ACK) {
        return VERDICT_SKIP;
    }
    if (msg.msg_len != 6) {
        std::printf("ACK validation failed: msg_len mismatch (expected 0x06, got 0x%02X)\n",
                    static_cast<unsigned>(msg.msg_len));
        return VERDICT_FAIL;
    }
    uint32_t acked = get_le32(msg.data);
    if (acked != expected_can_id) {
        std::printf("ACK validation failed: data can_ID mismatch (expected 0x%08X, got 0x%08X)\n", expected_can_id,
                    acked);
        return VERDICT_FAIL;
    }
    if (msg.data[4] != kMarker0 || msg.data[5] != kMarker1) {
        std::printf("ACK validation failed: data[4-5] mismatch (expected 0x15 0xEF, got 0x%02X 0x%02X)\n",
                    static_cast<unsigned>(msg.data[4]), static_cast<unsigned>(msg.data[5]));
        return VERDICT_FAIL;
    }
    return VERDICT_OK;
}

Verdict judge_flash_ack(const COMMS_MSG_t& msg, uint8_t* op_type_out, uint32_t* address_out)
{
    if (msg.can_ID == CANMSG_MX25_ACK) {
        if (op_type_out != nullptr) {
            *op_type_out = msg.data[0];
        }
        if (address_out != nullptr && msg.msg_len > 4) {
            *address_out = get_le32(&msg.data[1]);
        }
        return VERDICT_OK;
    }
    if (msg.can_ID == CANMSG_MX25_NACK) {
        std::puts("wait_for_mx25_ack: Operation failed (CAN ID 0x257)");
        return VERDICT_FAIL;
    }
    return VERDICT_SKIP;
}

const char* const kNoAck = "No ACK received from device (timeout or no data).";
const char* const kAckError = "Error reading ACK from device.";
const char* const kNoFlashAck = "wait_for_mx25_ack: No response received (timeout or no data).";
const char* const kFlashAckError = "wait_for_mx25_ack: Error reading response from device.";

// Sends a value-carrying command and waits for its acknowledgement.
int send_acknowledged(CommsManager* comms, const COMMS_MSG_t& msg)
{
    if (comms == nullptr || !comms->isConnected()) {
        return -1;
    }
    if (comms->write(msg) <= 0) {
        return -1;
    }
    const bool acked = wait_for_ack(comms, msg.can_ID);
    // An acknowledgement names the command, not the value: a copy would pass
    // for the next set's.
    if (acked) {
        comms->answerTaken();
    }
    return acked ? 0 : -1;
}

}  // namespace

uint32_t get_value(CommsManager* comms, target_comms_t src, uint8_t index, bool* ok)
{
    if (ok != nullptr) {
        *ok = false;
    }
    if (comms == nullptr || !comms->isConnected()) {
        std::puts("CommsManager not connected.");
        return kFailure;
    }

    const TargetIds ids = ids_for(src);
    COMMS_MSG_t request = zeroed_msg();
    request.can_ID = ids.request;
    request.msg_len = 1;
    request.data[0] = index;
    if (comms->write(request) <= 0) {
        std::puts("Failed to send COMMS_MSG_t to device.");
        return kFailure;
    }

    // Checked between reads only: each read is already bounded by the link's
    // own time-out counted from the request, so waiting never spins.
    const auto deadline = Clock::now() + kValueDeadline;
    bool skipped = false;
    for (;;) {
        if (Clock::now() > deadline) {
            // Cut short by other traffic, the wait is as unanswered as one
            // whose read timed out: the answer may still come.
            comms->answerMissing();
            std::printf("get_value: timeout waiting for response (expected CAN ID 0x%03X).\n", ids.response);
            return kFailure;
        }
        COMMS_MSG_t response = zeroed_msg();
        const int got = comms->readAnswer(&response);
        // On CAN FD the link's time-out ends with the deadline: traffic that
        // kept arriving until then is the deadline's case, not a read error.
        if (got <= 0 && skipped && Clock::now() > deadline) {
            continue;
        }
        if (!read_brought_message(got, "No response received from device (timeout or no data).",
                                  "Error reading response from device.")) {
            return kFailure;
        }
        if (response.msg_len >= 4 && response.can_ID == ids.response) {
            // The value does not name its index: a copy would pass for the
            // next request's answer.
            comms->answerTaken();
            if (ok != nullptr) {
                *ok = true;
            }
            return get_le32(response.data);
        }
        skipped = true;
    }
}

int set_value(CommsManager* comms, target_comms_t src, uint8_t index, uint32_t value)
{
    COMMS_MSG_t msg = zeroed_msg();
    msg.can_ID = ids_for(src).set;
    msg.msg_len = 5;
    msg.data[0] = index;
    put_le32(&msg.data[1], value);
    return send_acknowledged(comms, msg);
}

int store_value(CommsManager* comms, target_comms_t src, uint32_t crc)
{
    COMMS_MSG_t msg = zeroed_msg();
    msg.can_ID = ids_for(src).store;
    msg.msg_len = 4;
    put_le32(msg.data, crc);
    return send_acknowledged(comms, msg);
}

int send_reboot(CommsManager* comms)
{
    if (comms == nullptr) {
        return -1;
    }
    COMMS_MSG_t msg = zeroed_msg();
    msg.can_ID = CANMSG_ENTER_BL;
    msg.msg_len = 1;
    msg.data[0] = 0x48;
    return comms->write(msg) > 0 ? 0 : -1;
}

bool wait_for_ack(CommsManager* comms, uint32_t expected_can_id)
{
    if (comms == nullptr || !comms->isConnected()) {
        return false;
    }
    for (;;) {
        COMMS_MSG_t msg = zeroed_msg();
        if (!read_brought_message(comms->readAnswer(&msg), kNoAck, kAckError)) {
            return false;
        }
        const Verdict v = judge_ack(msg, expected_can_id);
        if (v != VERDICT_SKIP) {
            return v == VERDICT_OK;
        }
    }
}

bool wait_for_mx25_ack(CommsManager* comms, uint8_t* op_type_out, uint32_t* address_out, bool* address_given)
{
    if (address_given != nullptr) {
        *address_given = false;
    }
    if (comms == nullptr || !comms->isConnected()) {
        return false;
    }
    for (;;) {
        COMMS_MSG_t msg = zeroed_msg();
        if (!read_brought_message(comms->readAnswer(&msg), kNoFlashAck, kFlashAckError)) {
            return false;
        }
        const Verdict v = judge_flash_ack(msg, op_type_out, address_out);
        if (v != VERDICT_SKIP) {
            if (address_given != nullptr) {
                *address_given = v == VERDICT_OK && msg.msg_len > 4;
            }
            return v == VERDICT_OK;
        }
    }
}

bool wait_for_ack_and_mx25_ack(CommsManager* comms, uint32_t expected_can_id, bool* flash_ok,
                               uint8_t* op_type_out, uint32_t* address_out)
{
    if (flash_ok != nullptr) {
        *flash_ok = false;
    }
    if (comms == nullptr || !comms->isConnected()) {
        return false;
    }
    bool acked = false;
    bool flashed = false;
    while (!acked || !flashed) {
        COMMS_MSG_t msg = zeroed_msg();
        // The line names the answer still missing, the flash one first.
        if (!read_brought_message(comms->readAnswer(&msg), flashed ? kNoAck : kNoFlashAck,
                                  flashed ? kAckError : kFlashAckError)) {
            return false;
        }
        if (!acked) {
            const Verdict v = judge_ack(msg, expected_can_id);
            if (v == VERDICT_FAIL) {
                return false;
            }
            if (v == VERDICT_OK) {
                acked = true;
                continue;
            }
        }
        if (!flashed) {
            const Verdict v = judge_flash_ack(msg, op_type_out, address_out);
            if (v == VERDICT_FAIL) {
                return false;
            }
            if (v == VERDICT_OK) {
                flashed = true;
                if (flash_ok != nullptr) {
                    *flash_ok = true;
                }
            }
        }
    }
    return true;
}
