// skarvel-virtual-unit: the test world's virtual display unit, served on the
// real kernel instead of the doubles: a uhid device that hidraw and hidapi
// take for the unit on USB, and a node on a SocketCAN interface. The real
// programs (skarvel-efis-config, skarvel-efis-cli) then talk to it as to a
// unit. On SIGUSR1 and at exit it prints what it holds: the settings
// records with their checksums and a digest of each flash region written.

#include <getopt.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <poll.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../../EFIS_shared/can_export.h"
#include "../../EFIS_shared/get_set.h"
#include "../sim_world.h"
#include "kernel_links.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const USAGE =
    "Usage: skarvel-virtual-unit [--usb] [--can NAME] [options]\n"
    "Serves a virtual Skarvel EFIS display unit on /dev/uhid (USB, 1209:0001) and/or a\n"
    "CAN FD interface, for trying skarvel-efis-config and skarvel-efis-cli without a unit.\n"
    "On SIGUSR1 and at exit (SIGTERM, SIGINT, SIGHUP) it prints its settings records and\n"
    "a SHA-256 of each flash region written.\n"
    "\n"
    "  --usb                  appear as the unit's USB HID interface (needs the uhid module)\n"
    "  --can NAME             be a node on CAN FD interface NAME (MTU 72)\n"
    "  --serial HEX           serial number (default 12345678)\n"
    "  --partition 1|2        the firmware bank the unit names for writing (default 1)\n"
    "  --sensor-broadcasts    send the unit's accelerometer, gyro and pressure frames at 10 Hz\n"
    "  --other-node           another node's classic keep-alive frame at 20 Hz\n"
    "Faults (IDS: identifiers in hex, comma-separated, e.g. 415,416):\n"
    "  --silent               answer nothing\n"
    "  --nack IDS             refuse these commands with a NACK\n"
    "  --ignore IDS           never answer these commands\n"
    "  --late IDS             answer these commands after --late-ms (default 1100)\n"
    "  --late-ms MS\n"
    "  --duplicate IDS        send every answer to these commands twice\n"
    "  --delay-ms MS          delay every answer\n"
    "  --erase-ms MS          time a block erase takes\n"
    "  --packet-nack N,...    refuse these write packets (counted from 0)\n"
    "  --unplug-after N       vanish after N write packets: the uhid device is destroyed\n"
    "                         and the unit answers on no link\n"
    "  --verbose              log every request and answer on standard error\n";

struct Options {
    bool usb = false;
    std::string can;
    bool sensor_broadcasts = false;
    bool other_node = false;
    bool verbose = false;
};

bool parse_number(const char* text, int base, uint32_t* out)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, base);
    if (errno || end == text || *end || v > 0xFFFFFFFFul)
        return false;
    *out = uint32_t(v);
    return true;
}

template <class T>
bool parse_list(const char* text, int base, std::set<T>* out)
{
    std::string s(text);
    size_t start = 0;
    for (;;) {
        const size_t comma = s.find(',', start);
        uint32_t v = 0;
        if (!parse_number(s.substr(start, comma - start).c_str(), base, &v))
            return false;
        out->insert(T(v));
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

// Fills the options and the unit's faults; false after a usage message.
bool parse_options(int argc, char** argv, Options* o, sim::VirtualUnit* unit)
{
    enum { SERIAL = 256, PARTITION, BROADCASTS, OTHER, SILENT, NACK, IGNORE, LATE, LATE_MS, DUPLICATE, DELAY,
           ERASE, PACKET_NACK, UNPLUG, VERBOSE, HELP };
    static const struct option longopts[] = {
        {"usb", no_argument, nullptr, 'u'},
        {"can", required_argument, nullptr, 'c'},
        {"serial", required_argument, nullptr, SERIAL},
        {"partition", required_argument, nullptr, PARTITION},
        {"sensor-broadcasts", no_argument, nullptr, BROADCASTS},
        {"other-node", no_argument, nullptr, OTHER},
        {"silent", no_argument, nullptr, SILENT},
        {"nack", required_argument, nullptr, NACK},
        {"ignore", required_argument, nullptr, IGNORE},
        {"late", required_argument, nullptr, LATE},
        {"late-ms", required_argument, nullptr, LATE_MS},
        {"duplicate", required_argument, nullptr, DUPLICATE},
        {"delay-ms", required_argument, nullptr, DELAY},
        {"erase-ms", required_argument, nullptr, ERASE},
        {"packet-nack", required_argument, nullptr, PACKET_NACK},
        {"unplug-after", required_argument, nullptr, UNPLUG},
        {"verbose", no_argument, nullptr, VERBOSE},
        {"help", no_argument, nullptr, HELP},
        {nullptr, 0, nullptr, 0},
    };
    sim::UnitFaults& f = unit->faults;
    int c;
    int index = 0;
    while ((c = getopt_long(argc, argv, "", longopts, &index)) != -1) {
        uint32_t n = 0;
        bool ok = true;
        switch (c) {
        case 'u': o->usb = true; break;
        case 'c': o->can = optarg; break;
        case SERIAL: ok = parse_number(optarg, 16, &unit->serial); break;
        case PARTITION:
            ok = parse_number(optarg, 10, &n) && (n == 1 || n == 2);
            unit->partition = n == 2 ? partition_2 : partition_1;
            break;
        case BROADCASTS: o->sensor_broadcasts = true; break;
        case OTHER: o->other_node = true; break;
        case SILENT: f.silent = true; break;
        case NACK: ok = parse_list(optarg, 16, &f.nack); break;
        case IGNORE: ok = parse_list(optarg, 16, &f.ignore); break;
        case LATE: ok = parse_list(optarg, 16, &f.late); break;
        case LATE_MS: ok = parse_number(optarg, 10, &n) && n <= 60000; f.late_us = n * 1000; break;
        case DUPLICATE: ok = parse_list(optarg, 16, &f.duplicate); break;
        case DELAY: ok = parse_number(optarg, 10, &n) && n <= 60000; f.extra_delay_us = n * 1000; break;
        case ERASE: ok = parse_number(optarg, 10, &n) && n <= 60000; unit->erase_us = n * 1000; break;
        case PACKET_NACK: ok = parse_list(optarg, 10, &f.packet_nack); break;
        case UNPLUG: ok = parse_number(optarg, 10, &n) && n <= 0x7FFFFFFF; f.unplug_after_packets = int(n); break;
        case VERBOSE: o->verbose = true; break;
        case HELP: std::fputs(USAGE, stdout); std::exit(0);
        default: ok = false; break;
        }
        if (!ok) {
            if (c != '?')
                std::fprintf(stderr, "skarvel-virtual-unit: bad value for --%s: %s\n", longopts[index].name,
                             optarg ? optarg : "");
            std::fputs(USAGE, stderr);
            return false;
        }
    }
    if (optind < argc || (!o->usb && o->can.empty())) {
        std::fprintf(stderr, "skarvel-virtual-unit: %s\n%s",
                     optind < argc ? "unexpected argument" : "give --usb, --can NAME or both", USAGE);
        return false;
    }
    return true;
}

// A stretch of flash written by consecutive write packets.
struct Written {
    uint32_t start;
    uint32_t length;
};

// Notes the bytes [from, to) a write packet stored: they continue the
// stretch that ends at `from`, or start a new one that replaces every
// stretch it overlaps (a second upload of the same region).
void note_written(std::vector<Written>* list, uint32_t from, uint32_t to)
{
    for (Written& w : *list) {
        if (w.start + w.length == from) {
            w.length = to - w.start;
            const uint32_t start = w.start;
            list->erase(std::remove_if(list->begin(), list->end(),
                                       [&](const Written& o) {
                                           return o.start != start && o.start < to && o.start + o.length > from;
                                       }),
                        list->end());
            return;
        }
    }
    list->erase(std::remove_if(list->begin(), list->end(),
                               [&](const Written& o) { return o.start < to && o.start + o.length > from; }),
                list->end());
    list->push_back({from, to - from});
}

void print_record(const char* which, const Settings_t& rec)
{
    std::printf("settings %s: checksum 0x%08X magic 0x%08X version %u count %u values", which, rec.crc32, rec.magic,
                rec.version, rec.num_elements);
    Settings_t copy = rec;
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i)
        std::printf(" %d=%u", i, settings_get_value(&copy, settings_struct_index(i)));
    std::printf("\n");
}

void print_state(const sim::VirtualUnit& unit, const std::vector<Written>& written, const char* when)
{
    std::printf("state (%s): serial 0x%08X, %d stores, %u write packets, airport database %s%s\n", when, unit.serial,
                unit.stores, unit.write_packets, unit.airport_db_open ? "open" : "closed",
                unit.unplugged ? ", unplugged" : "");
    print_record("stored", unit.stored);
    print_record("working", unit.working);
    std::vector<Written> sorted = written;
    std::sort(sorted.begin(), sorted.end(), [](const Written& a, const Written& b) { return a.start < b.start; });
    for (const Written& w : sorted) {
        const std::vector<uint8_t> bytes = unit.flash.read(w.start, w.length);
        const QByteArray digest = QCryptographicHash::hash(
            QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())),
            QCryptographicHash::Sha256);
        std::printf("flash written: start 0x%08X length %u sha256 %s\n", w.start, w.length,
                    digest.toHex().constData());
    }
    const std::string violations = unit.flash.describe_violations();
    std::printf("flash violations: %s\n", violations.empty() ? "none" : "");
    if (!violations.empty())
        std::fputs(violations.c_str(), stdout);
    std::printf("state end\n");
    std::fflush(stdout);
}

struct Scheduled {
    sim::Broadcast b;
    Clock::time_point next;
};

class Server {
public:
    Server(const Options& o, sim::VirtualUnit& unit) : o(o), unit(unit) {}

    bool start()
    {
        std::string error;
        if (!o.can.empty() && !can.open(o.can, &error)) {
            std::fprintf(stderr, "skarvel-virtual-unit: %s\n", error.c_str());
            return false;
        }
        if (o.usb && !usb.create(unit.serial, &error)) {
            std::fprintf(stderr, "skarvel-virtual-unit: %s (load the module: sudo modprobe uhid)\n",
                         error.c_str());
            return false;
        }
        std::vector<sim::Broadcast> list;
        if (o.sensor_broadcasts)
            list = sim::unit_sensor_broadcasts();
        if (o.other_node)
            list.push_back(sim::second_node_broadcast());
        const Clock::time_point now = Clock::now();
        for (size_t i = 0; i < list.size(); ++i)  // staggered, as independent nodes are
            broadcasts.push_back({list[i], now + list[i].period * int(i + 1) / int(list.size() + 1)});
        if (!o.usb)
            say_ready();
        return true;
    }

    // Serves until SIGTERM, SIGINT or SIGHUP; prints the state on SIGUSR1.
    int run(int signal_fd)
    {
        for (;;) {
            struct pollfd fds[3] = {{signal_fd, POLLIN, 0}, {usb.fd(), POLLIN, 0}, {can.fd(), POLLIN, 0}};
            const struct timespec* wait = nullptr;
            struct timespec ts;
            Clock::time_point due = Clock::time_point::max();
            if (!outbox.empty())
                due = outbox.begin()->first;
            for (const Scheduled& s : broadcasts)
                due = std::min(due, s.next);
            if (due != Clock::time_point::max()) {
                const auto left = std::max(Clock::duration::zero(), due - Clock::now());
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                ts.tv_sec = time_t(ns / 1000000000);
                ts.tv_nsec = long(ns % 1000000000);
                wait = &ts;
            }
            if (ppoll(fds, 3, wait, nullptr) < 0 && errno != EINTR) {
                std::perror("skarvel-virtual-unit: ppoll");
                return 1;
            }
            if (fds[0].revents & POLLIN) {
                struct signalfd_siginfo si;
                if (read(signal_fd, &si, sizeof si) == ssize_t(sizeof si)) {
                    if (si.ssi_signo != SIGUSR1) {
                        print_state(unit, written, "exit");
                        return 0;
                    }
                    print_state(unit, written, "SIGUSR1");
                }
            }
            // An error (a CAN interface gone down) is taken by the read, or
            // poll would report it again at once.
            const short ready = POLLIN | POLLERR | POLLHUP;
            if (fds[1].revents & ready)
                take_usb();
            if (fds[2].revents & ready)
                take_can();
            send_due();
        }
    }

private:
    void say_ready()
    {
        std::printf("ready: serial 0x%08X%s%s%s\n", unit.serial, o.usb ? " on USB (uhid 1209:0001)" : "",
                    o.usb && !o.can.empty() ? " and" : "", o.can.empty() ? "" : (" on " + o.can).c_str());
        std::fflush(stdout);
    }

    void take_usb()
    {
        COMMS_MSG_t msg;
        std::string note;
        const sim::UhidUnit::Event e = usb.receive(&msg, &note);
        if (e == sim::UhidUnit::REQUEST)
            handle(msg);
        else if (!note.empty())
            std::fprintf(stderr, "skarvel-virtual-unit: %s\n", note.c_str());
        if (e == sim::UhidUnit::STARTED && !ready) {
            ready = true;
            say_ready();
        }
    }

    void take_can()
    {
        COMMS_MSG_t msg;
        bool got = false;
        std::string error;
        if (!can.receive(&msg, &got, &error)) {
            // A downed interface reports once; the socket works again when it comes back.
            std::fprintf(stderr, "skarvel-virtual-unit: %s\n", error.c_str());
            return;
        }
        if (got)
            handle(msg);
    }

    void handle(const COMMS_MSG_t& request)
    {
        const uint32_t pointer = unit.write_pointer;
        const uint32_t packets = unit.write_packets;
        const bool was_unplugged = unit.unplugged;
        const Clock::time_point now = Clock::now();
        if (o.verbose)
            std::fprintf(stderr, "request 0x%03X len %u on %s\n", request.can_ID, request.msg_len,
                         request.iface == USB_HID ? "USB" : "CAN");
        for (const sim::Answer& a : unit.handle(request))
            outbox.emplace(now + std::chrono::microseconds(a.delay_us), a.msg);
        if (request.can_ID == CANMSG_WRITE_MX25 && unit.write_packets != packets && unit.write_pointer > pointer)
            note_written(&written, pointer, unit.write_pointer);
        if (unit.unplugged && !was_unplugged) {
            std::fprintf(stderr, "skarvel-virtual-unit: unplugged after %u write packets\n", unit.write_packets);
            usb.destroy();
        }
    }

    void send(const COMMS_MSG_t& msg, bool classic)
    {
        std::string error;
        const bool on_usb = msg.iface == USB_HID;
        if (o.verbose)
            std::fprintf(stderr, "answer 0x%03X len %u on %s\n", msg.can_ID, msg.msg_len, on_usb ? "USB" : "CAN");
        const bool ok = on_usb ? usb.send(msg, &error) : can.send(msg, classic, &error);
        if (!ok && !send_failing[on_usb])
            std::fprintf(stderr, "skarvel-virtual-unit: %s\n", error.c_str());
        send_failing[on_usb] = !ok;
    }

    void send_due()
    {
        const Clock::time_point now = Clock::now();
        while (!outbox.empty() && outbox.begin()->first <= now) {
            send(outbox.begin()->second, false);
            outbox.erase(outbox.begin());
        }
        for (Scheduled& s : broadcasts) {
            if (s.next > now)
                continue;
            s.next += s.b.period;
            if (s.b.from_unit && (unit.faults.silent || unit.unplugged))
                continue;
            COMMS_MSG_t m = s.b.msg;
            m.iface = CAN_FD;
            send(m, s.b.classic);
        }
    }

    const Options& o;
    sim::VirtualUnit& unit;
    sim::UhidUnit usb;
    sim::CanUnit can;
    bool ready = false;
    bool send_failing[2] = {false, false};  // by link, to log a failure once
    std::multimap<Clock::time_point, COMMS_MSG_t> outbox;  // answers by when they are due
    std::vector<Scheduled> broadcasts;
    std::vector<Written> written;
};

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sim::VirtualUnit unit;
    unit.keep_received = false;  // the log would hold every packet of an upload
    Options o;
    if (!parse_options(argc, argv, &o, &unit))
        return 2;
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGUSR1, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&handled, s);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signal_fd = signalfd(-1, &handled, SFD_CLOEXEC);
    if (signal_fd < 0) {
        std::perror("skarvel-virtual-unit: signalfd");
        return 1;
    }
    Server server(o, unit);
    if (!server.start())
        return 1;
    return server.run(signal_fd);
}
