#include "unit_record.h"

#include <cstring>
#include <vector>

#include "EFIS_shared/get_set.h"
#include "settings_file.h"

namespace settings_doc {

bool read_record(CommsManager* comms, Settings_t* r, uint32_t* checksum, QString* error, bool* stopped,
                 const std::atomic<int>* stop)
{
    std::memset(r, 0, sizeof *r);
    int done = 0;
    const auto halted = [&] {
        const bool now = stop && *stop != 0;
        if (stopped)
            *stopped = now;
        if (now)
            *error = QString("%1 of %2 values read").arg(done).arg(4 + SETTINGS_LAST_INDEX);
        return now;
    };
    const settings_struct_index header[] = {SETTINGS_CHECKSUM_INDEX, SETTINGS_MAGIC_NUM, SETTINGS_VERSION,
                                            SETTINGS_NUM_ELEMENTS};
    uint32_t words[4];
    for (int i = 0; i < 4; ++i, ++done) {
        bool ok = false;
        if (halted())
            return false;
        words[i] = get_value(comms, SETTINGS_COMMS, uint8_t(header[i]), &ok);
        if (!ok) {
            *error = QString("could not read header value %1 from the unit").arg(int(header[i]));
            return false;
        }
    }
    *checksum = words[0];
    r->magic = words[1];
    r->version = words[2];
    r->num_elements = words[3];
    if (r->num_elements > SETTINGS_MAX_ELEMENTS) {
        *error = QString("the unit reports a settings layout this tool does not know (%1 values)").arg(words[3]);
        return false;
    }
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i, ++done) {
        bool ok = false;
        if (halted())
            return false;
        uint32_t v = get_value(comms, SETTINGS_COMMS, uint8_t(i), &ok);
        if (!ok || !settings_set_value(r, settings_struct_index(i), &v)) {
            *error = QString("could not read value %1 from the unit").arg(i);
            return false;
        }
    }
    r->crc32 = words[0];
    return true;
}

bool store_record(CommsManager* comms, Settings_t rec, uint32_t* crc)
{
    rec.magic = SETTINGS_MAGIC;
    rec.crc32 = 0;
    *crc = settings_CalcCRC(&rec);
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.can_ID = CANMSG_SAVE_USER_SETTINGS;
    msg.msg_len = 4;
    put_le32(msg.data, *crc);
    return comms->write(msg) > 0 &&
           wait_for_ack_and_mx25_ack(comms, CANMSG_SAVE_USER_SETTINGS, nullptr, nullptr, nullptr);
}

ApplyResult apply_record(CommsManager* comms, const Settings_t& unit, const Settings_t& target,
                         const std::atomic<int>* stop)
{
    ApplyResult r;
    const auto stopping = [&] {
        if (stop && *stop != 0)
            r.outcome = Applied::Stopped;
        return r.outcome == Applied::Stopped;
    };
    std::vector<settings_struct_index> changed;
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const settings_struct_index index = settings_struct_index(i);
        if (value_at(unit, index) != value_at(target, index))
            changed.push_back(index);
    }
    r.changed = changed.size();
    for (settings_struct_index index : changed) {
        if (stopping())
            return r;
        if (set_value(comms, SETTINGS_COMMS, uint8_t(index), value_at(target, index)) != 0) {
            r.outcome = Applied::ValueRefused;
            r.refused = int(index);
            return r;
        }
        ++r.sent;
    }
    if (stopping())
        return r;
    if (!store_record(comms, target, &r.crc)) {
        r.outcome = Applied::StoreFailed;
        return r;
    }
    r.stored = true;
    bool halted = false;
    if (!read_record(comms, &r.back, &r.back_crc, &r.detail, &halted, stop)) {
        r.outcome = halted ? Applied::Stopped : Applied::ReadBackFailed;
        return r;
    }
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const settings_struct_index index = settings_struct_index(i);
        if (value_at(r.back, index) != value_at(target, index)) {
            r.outcome = Applied::ReadBackFailed;
            r.detail = QString("value %1 is %2, expected %3")
                           .arg(i)
                           .arg(hex(value_at(r.back, index)), hex(value_at(target, index)));
            return r;
        }
    }
    if (r.back_crc != r.crc) {
        r.outcome = Applied::ReadBackFailed;
        r.detail = QString("checksum %1, expected %2").arg(hex(r.back_crc), hex(r.crc));
    }
    return r;
}

}  // namespace settings_doc
