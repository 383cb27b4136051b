// USB HID transport against the hidapi double: report layout in both
// directions, interface selection and handle ownership.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comms/usb_hid/USBHID.h"
#include "link_support.h"

namespace {

using linktest::hid_report;
using linktest::msg_of;

class UsbTransport : public testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        ASSERT_TRUE(usb.connect(vendor_id, product_id));
        sim::clear_captures();
    }
    USBHID usb;
};

struct EncodeCase {
    const char* name;
    COMMS_MSG_t msg;
    std::vector<uint8_t> report;
};

COMMS_MSG_t with_junk_after_payload(COMMS_MSG_t m)
{
    // Bytes the record carries but must not reach the wire.
    m.iface = CAN_FD;
    for (size_t i = m.msg_len; i < sizeof(m.data); ++i) {
        m.data[i] = 0xCC;
    }
    m.padding[0] = m.padding[1] = 0xCC;
    return m;
}

std::vector<uint8_t> counting(size_t n, uint8_t first = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(first + i);
    }
    return v;
}

TEST_F(UsbTransport, EncodesOneReportPerRecord)
{
    std::vector<uint8_t> full = {0x05, 0x15, 0x04, 0x00, 0x00, 64};
    std::vector<uint8_t> payload64 = counting(64, 1);
    full.insert(full.end(), payload64.begin(), payload64.end());

    const EncodeCase cases[] = {
        {"serial number request", msg_of(0x123, 2, {0xEF, 0x15}), {0x05, 0x23, 0x01, 0x00, 0x00, 0x02, 0xEF, 0x15}},
        {"empty payload", msg_of(0x287, 0, {}), {0x05, 0x87, 0x02, 0x00, 0x00, 0x00}},
        {"bytes beyond msg_len stay home", with_junk_after_payload(msg_of(0x378, 5, {0x18, 0x50, 0, 0, 0})),
         {0x05, 0x78, 0x03, 0x00, 0x00, 0x05, 0x18, 0x50, 0x00, 0x00, 0x00}},
        {"full 64-byte packet", msg_of(0x415, 64, payload64), full},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::clear_captures();
        EXPECT_EQ(usb.write(c.msg), static_cast<int>(c.report.size()));
        auto written = sim::hid_written();
        ASSERT_EQ(written.size(), 1u);
        EXPECT_EQ(written[0], c.report);
    }
}

TEST_F(UsbTransport, RefusesRecordLongerThanData)
{
    for (uint8_t len : {65, 200, 255}) {
        SCOPED_TRACE(static_cast<int>(len));
        COMMS_MSG_t m = msg_of(0x415, len, counting(64));
        EXPECT_EQ(usb.write(m), -1);
    }
    EXPECT_TRUE(sim::hid_written().empty());
}

TEST_F(UsbTransport, ByteWritePrependsReportNumber)
{
    const uint8_t bytes[] = {0x99, 0x03, 0x00, 0x00, 0x01, 0x48};
    EXPECT_EQ(usb.write(bytes, sizeof(bytes)), 7);
    auto written = sim::hid_written();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], (std::vector<uint8_t>{0x05, 0x99, 0x03, 0x00, 0x00, 0x01, 0x48}));
}

struct DecodeCase {
    const char* name;
    std::vector<uint8_t> report;
    int result;
    uint8_t iface;
    uint32_t can_ID;
    uint8_t msg_len;
    std::vector<uint8_t> data;  // leading data bytes; the rest must be zero
};

TEST_F(UsbTransport, DecodesReportsWhateverTheirLengthByteClaims)
{
    std::vector<uint8_t> long_payload = counting(121, 0x40);  // fills the 128-byte buffer
    const DecodeCase cases[] = {
        {"header only, length byte ignored", hid_report(0x377, 0x10, {}), 7, USB_HID, 0x377, 0x10, {}},
        {"length byte larger than the report", hid_report(0x377, 10, {1, 2, 3, 4, 5}), 12, USB_HID, 0x377, 10,
         {1, 2, 3, 4, 5}},
        {"length byte beyond data", hid_report(0x415, 200, long_payload), 128, USB_HID, 0x415, 200,
         counting(64, 0x40)},
        {"iface byte copied unchanged", hid_report(0x255, 6, {0x78, 0x03, 0, 0, 0xEF, 0x15}, 0x01), 13, CAN_FD,
         0x255, 6, {0x78, 0x03, 0, 0, 0xEF, 0x15}},
        {"payload beyond msg_len dropped", hid_report(0x377, 4, {0x80, 0, 0, 0, 0xAA, 0xBB}), 13, USB_HID, 0x377,
         4, {0x80, 0, 0, 0}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::push_hid_input(c.report);
        COMMS_MSG_t m;
        std::memset(&m, 0xA5, sizeof(m));
        ASSERT_EQ(usb.read(&m), c.result);
        EXPECT_EQ(m.iface, c.iface);
        EXPECT_EQ(static_cast<uint32_t>(m.can_ID), c.can_ID);
        EXPECT_EQ(m.msg_len, c.msg_len);
        std::vector<uint8_t> expected = c.data;
        expected.resize(sizeof(m.data), 0);
        EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + sizeof(m.data)), expected);
        EXPECT_EQ(m.padding[0], 0);
        EXPECT_EQ(m.padding[1], 0);
    }
}

TEST_F(UsbTransport, ReportTooShortForHeaderIsAnError)
{
    sim::push_hid_input({0x05, 0x00, 0x77, 0x03, 0x00, 0x00});
    COMMS_MSG_t m;
    EXPECT_EQ(usb.read(&m), -1);
    EXPECT_EQ(usb.read(nullptr), -1);
}

TEST_F(UsbTransport, SilenceIsATimeoutNotAnError)
{
    COMMS_MSG_t m;
    EXPECT_EQ(usb.read(&m), 0);
    EXPECT_TRUE(usb.isConnected());
}

TEST(UsbLifecycle, ClosedTransportTouchesNothing)
{
    sim::reset();
    USBHID usb;
    COMMS_MSG_t m = msg_of(0x123, 2, {0xEF, 0x15});
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_FALSE(usb.isConnected());
    EXPECT_EQ(usb.write(m), -1);
    EXPECT_EQ(usb.write(bytes, sizeof(bytes)), -1);
    EXPECT_EQ(usb.read(&m), -1);
    EXPECT_TRUE(sim::hid_written().empty());
}

TEST(UsbLifecycle, OneHandleAtATimeAndClosedByOwner)
{
    sim::reset();
    {
        USBHID usb;
        ASSERT_TRUE(usb.connect(vendor_id, product_id));
        ASSERT_TRUE(usb.connect(vendor_id, product_id));  // reconnect replaces the handle
        EXPECT_EQ(sim::hid_open_handles(), 1);
        usb.disconnect();
        EXPECT_FALSE(usb.isConnected());
        EXPECT_EQ(sim::hid_open_handles(), 0);
        ASSERT_TRUE(usb.connect(vendor_id, product_id));
    }
    EXPECT_EQ(sim::hid_open_handles(), 0);
}

struct SelectCase {
    const char* name;
    std::vector<sim::HidInterface> interfaces;
    bool connects;
};

// Which of the listed interfaces gets opened; only the unit's answers tell.
TEST(UsbInterfaceSelection, OpensFirstMatchOnVendorPage)
{
    const sim::HidInterface unit = sim::unit_hid_interface();
    sim::HidInterface unit_on_other_page = unit;
    unit_on_other_page.usage_page = 0x0001;
    const sim::HidInterface keyboard_page = {"/dev/hidraw7", vendor_id, product_id, 0x0001, false};
    const sim::HidInterface other_vendor_page = {"/dev/hidraw8", vendor_id, product_id, 0xFF00, false};
    const sim::HidInterface foreign_ids = {"/dev/hidraw9", 0x1234, 0x5678, 0xFF00, false};

    const SelectCase cases[] = {
        {"second interface on vendor page", {keyboard_page, unit}, true},
        {"first vendor-page interface wins", {unit, other_vendor_page}, true},
        {"foreign identifiers skipped", {foreign_ids, unit}, true},
        {"no vendor page", {unit_on_other_page}, false},
        {"nothing listed", {}, false},
    };
    for (const SelectCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        sim::set_hid_interfaces(c.interfaces);
        USBHID usb;
        ASSERT_EQ(usb.connect(vendor_id, product_id), c.connects);
        EXPECT_EQ(usb.isConnected(), c.connects);
        EXPECT_EQ(sim::hid_open_handles(), c.connects ? 1 : 0);
        if (!c.connects) {
            continue;
        }
        ASSERT_EQ(usb.write(msg_of(CANMSG_WHOAMI, 2, {0xEF, 0x15})), 8);
        COMMS_MSG_t answer;
        ASSERT_GT(usb.read(&answer), 0) << "the opened interface is not the unit";
        EXPECT_EQ(static_cast<uint32_t>(answer.can_ID), static_cast<uint32_t>(CANMSG_WHOAMI));
    }
}

}  // namespace
