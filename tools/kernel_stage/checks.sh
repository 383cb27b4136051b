#!/bin/bash
# The kernel stage's checks, run inside the VM (tools/kernel_stage/init) as
# root in the host's read-only root: the production skarvel-efis-cli and
# skarvel-efis-config against skarvel-virtual-unit on real uhid and vcan.
# Each check judges by what the unit holds (its state report) as well as
# by exit codes and messages. Writes one PASS or FAIL line per check to
# OUT/results.txt and everything the programs said to OUT/log.txt.
#   checks.sh BUILD_DIR OUT_DIR [GROUP...]   (default: every group)
set -u
BUILD=$1
OUT=$2
shift 2
ONLY="$*"
RESULTS=$OUT/results.txt
CLI=$BUILD/skarvel-efis-cli
WINDOW=$BUILD/skarvel-efis-config
UNIT=$BUILD/skarvel-virtual-unit
W=/tmp/stage
mkdir -p $W
: > "$RESULTS"
exec > "$OUT/log.txt" 2>&1
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp
BANK1=0x03400000

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
T0=$(now_ms)
secs() { awk -v ms=$(( $(now_ms) - $1 )) 'BEGIN { printf "%.1f", ms / 1000 }'; }

# verdict NAME START_MS PROBLEM: PASS when PROBLEM is empty.
verdict() {
  if [ -z "$3" ]; then
    echo "PASS  $1 ($(secs "$2") s)" >> "$RESULTS"
  else
    echo "FAIL  $1: $3 ($(secs "$2") s)" >> "$RESULTS"
  fi
  echo "### $1: ${3:-ok}"
}

# Runs the command-line tool in the foreground, bounded: RC, $W/out, $W/err.
cli() {
  echo "### skarvel-efis-cli $*"
  timeout -k 2 60 "$CLI" "$@" > $W/out 2> $W/err
  RC=$?
  cat $W/out $W/err
}
# Problems with the last run: expected exit code, then texts its output must hold.
expect() {
  local want=$1 text problem=""
  shift
  [ "$RC" = "$want" ] || problem="exit $RC, expected $want; "
  for text in "$@"; do
    grep -qF -- "$text" $W/out $W/err || problem+="no \"$text\"; "
  done
  echo "$problem"
}

# Waits up to $2 seconds for the command in $1 to succeed.
wait_until() {
  local end=$(( $(now_ms) + $2 * 1000 ))
  until eval "$1"; do
    [ "$(now_ms)" -lt $end ] || return 1
    sleep 0.1
  done
}

# Starts the virtual unit with the given options and waits until it serves;
# for USB also until its hidraw node exists (HIDRAW).
unit_start() {
  echo "### skarvel-virtual-unit $*"
  "$UNIT" "$@" > $W/unit.out 2> $W/unit.err &
  UNIT_PID=$!
  HIDRAW=""
  wait_until "grep -q '^ready' $W/unit.out" 20 || return 1
  case " $* " in *" --usb "*) wait_until find_hidraw 10 || return 1 ;; esac
  return 0
}
find_hidraw() {
  local f
  for f in /sys/class/hidraw/hidraw*; do
    grep -q 'HID_ID=0003:00001209:00000001' "$f/device/uevent" 2>/dev/null || continue
    HIDRAW=/dev/${f##*/}
    [ -c "$HIDRAW" ] && return 0
  done
  return 1
}
unit_stop() {
  [ -n "${UNIT_PID:-}" ] || return 0
  kill -TERM "$UNIT_PID" 2>/dev/null
  wait_until "! kill -0 $UNIT_PID 2>/dev/null" 10 || kill -KILL "$UNIT_PID"
  wait "$UNIT_PID" 2>/dev/null
  cat $W/unit.out $W/unit.err
  UNIT_PID=""
}
# The unit's state report, asked for with SIGUSR1, into $W/state.
unit_state() {
  local before
  before=$(grep -c '^state end' $W/unit.out)
  kill -USR1 "$UNIT_PID" || return 1
  wait_until "[ \$(grep -c '^state end' $W/unit.out) -gt $before ]" 10 || return 1
  awk '/^state \(/ { s = "" } { s = s $0 "\n" } END { printf "%s", s }' $W/unit.out > $W/state
}
# Problems with the unit's flash: FILE must be what was written from START.
flash_holds() {
  local want="flash written: start $2 length $(stat -c %s "$1") sha256 $(sha256sum "$1" | cut -d' ' -f1)"
  unit_state || { echo "no state report from the unit; "; return; }
  grep -qF "$want" $W/state || echo "the unit's flash does not hold $1 at $2: $(grep '^flash' $W/state | tr '\n' ' '); "
}
# The stored record's value at an index and its checksum, from $W/state.
stored_value() { grep '^settings stored' $W/state | grep -o " $1=[0-9]*" | cut -d= -f2; }
stored_checksum() { grep '^settings stored' $W/state | awk '{ print $4 }'; }

# The cli in the background (an upload to interrupt or to contend with).
bg_start() {
  echo "### skarvel-efis-cli $* (background)"
  # The unit counts write packets from its start: an upload's own are those after.
  BG_PACKETS=$(unit_packets 2>/dev/null || echo 0)
  "$CLI" "$@" > $W/bg.out 2> $W/bg.err &
  BG_PID=$!
}
# Waits up to $1 seconds for it; BG_RC (124 when it had to be killed).
bg_wait() {
  if wait_until "! kill -0 $BG_PID 2>/dev/null" "$1"; then
    wait "$BG_PID"
    BG_RC=$?
  else
    kill -KILL "$BG_PID"
    wait "$BG_PID" 2>/dev/null
    BG_RC=124
  fi
  cat $W/bg.out $W/bg.err
}
# A problem when more than $2 seconds have passed since $1 (ms).
ended_in() { [ $(( $(now_ms) - $1 )) -le $(( $2 * 1000 )) ] || echo "took $(secs $1) s, more than $2 s; "; }
# Write packets the unit has received so far.
unit_packets() { unit_state && grep -o '[0-9]* write packets' $W/state | cut -d' ' -f1; }
# Waits up to $2 seconds for $1 write packets of the upload bg_start began.
wait_packets() { wait_until "[ \"\$(unit_packets)\" -ge $(( ${BG_PACKETS:-0} + $1 )) ] 2>/dev/null" "$2"; }

# Files: a 2 MiB airport database and a firmware image whose last packet
# (37 bytes) a CAN FD frame cannot carry as it is.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24)); }
make_files() {
  head -c 2097152 /dev/urandom > $W/airports.db
  local payload=16421
  { printf "$(le32 0x57464B53)$(le32 0x00010000)$(le32 $((64 + payload)))$(le32 $payload)$(le32 $payload)"
    head -c 44 /dev/zero
    head -c $payload /dev/urandom; } > $W/firmware.bin
}

# --- the checks ---------------------------------------------------------

# The handshake, info, show, set, import of an export, a firmware upload and
# a 2 MiB airport upload with a second instance on SECOND_LINK refused
# meanwhile, all on the link the tool picks by itself; LINK is what info
# must name.
link_checks() {
  local p=$1 link=$2 serial=$3 second_link=$4 s problem crc
  s=$(now_ms)
  cli info
  verdict "$p: handshake and info" $s "$(expect 0 "link: $link" "serial number: $serial")"

  s=$(now_ms)
  cli settings show
  verdict "$p: settings show" $s "$(expect 0 "matches the values")"

  s=$(now_ms)
  cli settings set vne=181 registration=G-KRNL
  problem=$(expect 0 "record stored with checksum")
  crc=$(grep -o 'checksum 0x[0-9A-F]*' $W/out | cut -d' ' -f2)
  unit_state || problem+="no state report; "
  [ "$(stored_value 6)" = 181 ] || problem+="the unit stored vne $(stored_value 6); "
  [ -n "$crc" ] && [ "$(stored_checksum)" = "$crc" ] || problem+="stored checksum $(stored_checksum), the tool's $crc; "
  verdict "$p: settings set, store checksum equals the unit's" $s "$problem"

  s=$(now_ms)
  cli settings export $W/export.json
  problem=$(expect 0)
  cli settings set vne=170
  problem+=$(expect 0)
  cli settings import $W/export.json
  problem+=$(expect 0 "record stored with checksum")
  unit_state || problem+="no state report; "
  [ "$(stored_value 6)" = 181 ] || problem+="the unit stored vne $(stored_value 6) after the import; "
  grep -q "\"checksum\": \"$(stored_checksum)\"" $W/export.json || problem+="stored checksum $(stored_checksum) is not the export's; "
  verdict "$p: settings import of an export" $s "$problem"

  s=$(now_ms)
  cli firmware $W/firmware.bin
  verdict "$p: firmware upload, flash digest equals the file's" $s \
    "$(expect 0 "firmware image written and confirmed")$(flash_holds $W/firmware.bin $BANK1)"

  s=$(now_ms)
  bg_start airport-db $W/airports.db
  local holder=$BG_PID
  problem=""
  wait_packets 50 30 || problem="the upload did not start; "
  cli --link "$second_link" info
  problem+=$(expect 4 "is in use by another Skarvel EFIS Config (process $holder)")
  verdict "$p: a second instance during an upload is refused, naming the holder" $s "$problem"
  bg_wait 150
  problem=""
  [ "$BG_RC" = 0 ] || problem="exit $BG_RC; "
  grep -qF "airport database written and confirmed" $W/bg.out || problem+="no confirmation; "
  verdict "$p: 2 MiB airport upload beside it, flash digest equals the file's" $s \
    "$problem$(flash_holds $W/airports.db 0x00000000)"
}

# The window: connects, loads the settings and passes its checksum check.
window_check() {
  local p=$1 connected=$2 s problem=""
  s=$(now_ms)
  echo "### skarvel-efis-config"
  "$WINDOW" > $W/window.out 2>&1 &
  local pid=$!
  wait_until "grep -q 'CRC Check Passed\|CRC mismatch\|Failed to connect via both\|Debug: Error' $W/window.out" 60
  kill -TERM $pid 2>/dev/null
  wait_until "! kill -0 $pid 2>/dev/null" 10 || kill -KILL $pid
  wait $pid 2>/dev/null
  cat $W/window.out
  grep -qF "$connected" $W/window.out || problem="no \"$connected\"; "
  grep -qF "CRC Check Passed." $W/window.out || problem+="no \"CRC Check Passed.\"; "
  verdict "$p: the window connects, loads and passes its checksum check" $s "$problem"
}

setup_check() {
  local s problem=""
  s=$(now_ms)
  ip link add dev can0 type vcan && ip link set can0 mtu 72 up || problem="cannot set up can0; "
  ip -d link show can0 | grep -q 'mtu 72 ' || problem+="can0 has no MTU 72; "
  [ -c /dev/uhid ] || problem+="no /dev/uhid; "
  verdict "VM: Debian's $(uname -r) with vcan can0 (MTU 72) and uhid" $s "$problem"
}

# An upload cut by the kernel: FAULT (a command) starts the fault once the
# upload runs, RESTORE undoes it. The tool must end within 10 s of the
# fault, exit 1, say so, and claim nothing.
upload_cut() {
  local name=$1 link=$2 fault=$3 restore=$4 s problem="" at
  shift 4
  s=$(now_ms)
  unit_start "$@" || problem="the unit did not start; "
  bg_start --link "$link" airport-db $W/airports.db
  eval "$fault" || problem+="the fault did not happen; "
  at=$(now_ms)
  bg_wait 20
  problem+=$(ended_in $at 10)
  eval "$restore"
  [ "$BG_RC" = 1 ] || problem+="exit $BG_RC, expected 1; "
  grep -qF "airport database upload failed" $W/bg.err || problem+="no failure message; "
  grep -qF "written and confirmed" $W/bg.out && problem+="claimed success; "
  verdict "fault: $name, the upload ends $(secs $at) s later" $s "$problem"
  unit_stop
}
group_can_down() {
  upload_cut "ip link set can0 down mid-upload" can "wait_packets 100 30 && ip link set can0 down" \
    "ip link set can0 up" --can can0 --sensor-broadcasts --other-node --serial CA0D0001
}
group_unplug() {
  upload_cut "uhid device destroyed mid-upload" usb "wait_until \"grep -q 'unplugged after' $W/unit.err\" 60" \
    : --usb --unplug-after 300 --serial 0DE70002
}

group_mtu16() {
  local s problem=""
  s=$(now_ms)
  ip link set can0 down && ip link set can0 mtu 16 up
  unit_start --can can0 --serial 16160003 || problem="the unit did not start; "
  cli --link can info
  problem+=$(expect 4 "is not in CAN FD mode (MTU 16)")$(ended_in $s 15)
  verdict "fault: can0 with MTU 16" $s "$problem"
  unit_stop
  ip link set can0 down && ip link set can0 mtu 72 up
}

group_permission() {
  local s problem=""
  s=$(now_ms)
  unit_start --usb --serial 06000004 || problem="the unit did not start; "
  chmod 0600 "$HIDRAW"
  echo "### skarvel-efis-cli --link usb info (as nobody)"
  timeout -k 2 60 setpriv --reuid=65534 --regid=65534 --clear-groups "$CLI" --link usb info > $W/out 2> $W/err
  RC=$?
  cat $W/out $W/err
  problem+=$(expect 4 "found the unit at /dev/hidraw" "but cannot open it: Permission denied")$(ended_in $s 15)
  verdict "fault: a hidraw node the user cannot open (0600, as nobody)" $s "$problem"
  unit_stop
}

group_no_unit() {
  local s
  s=$(now_ms)
  cli info
  verdict "fault: no unit (USB and can0 tried)" $s "$(expect 4 "no unit answered")$(ended_in $s 10)"
  s=$(now_ms)
  cli --link can --can-interface nosuch0 info
  verdict "fault: a missing CAN interface" $s "$(expect 4 "nosuch0")$(ended_in $s 10)"
}

# systemd-udevd with the package's rule: the unit's hidraw node gets uaccess.
group_udev() {
  local s problem=""
  s=$(now_ms)
  mkdir -p /run/udev/rules.d
  cp "$(dirname "$0")/../../packaging/70-skarvel-efis.rules" /run/udev/rules.d/
  /lib/systemd/systemd-udevd --daemon || problem="systemd-udevd did not start; "
  unit_start --usb --serial 0DEF0005 || problem+="the unit did not start; "
  udevadm settle -t 20
  udevadm info "$HIDRAW"
  udevadm info "$HIDRAW" | grep -q '^[GQ]: uaccess\|TAGS=.*:uaccess:' || problem+="$HIDRAW has no uaccess tag; "
  [ "$(stat -c %a "$HIDRAW")" = 660 ] || problem+="$HIDRAW has mode $(stat -c %a "$HIDRAW"), the rule says 0660; "
  verdict "udev: the package's rule tags the unit's hidraw node uaccess" $s "$problem"
  unit_stop
  udevadm control --exit
}

group_usb() {
  unit_start --usb --serial 0000AA01 || verdict "usb: the virtual unit starts" "$(now_ms)" "it did not"
  link_checks usb "USB HID" 0x0000AA01 usb
  window_check usb "Connected via USB HID"
  unit_stop
}
group_can() {
  unit_start --can can0 --sensor-broadcasts --other-node --serial 0000CA02 ||
    verdict "can: the virtual unit starts" "$(now_ms)" "it did not"
  link_checks can "CAN FD on can0" 0x0000CA02 can
  window_check can "Connected via CAN FD"
  unit_stop
}
# One unit on uhid and on vcan: a program uploading over CAN FD holds the
# unit itself, so a second program reaching it over USB is refused and
# changes nothing.
cross_link_check() {
  local s problem=""
  s=$(now_ms)
  # A quarter of the database: CAN FD on vcan under emulation is slower than USB here.
  head -c 524288 $W/airports.db > $W/airports-quarter.db
  bg_start --link can airport-db $W/airports-quarter.db
  local holder=$BG_PID
  wait_packets 50 30 || problem="the upload did not start; "
  cli --link usb settings set vne=150
  problem+=$(expect 4 "(0x0000B003) is in use by another Skarvel EFIS Config (process $holder)")
  unit_state || problem+="no state report; "
  [ "$(stored_value 6)" = 181 ] || problem+="the unit stored vne $(stored_value 6); "
  verdict "both: a second program on the unit's other link (USB while CAN FD uploads) is refused" $s "$problem"
  bg_wait 150
  problem=""
  [ "$BG_RC" = 0 ] || problem="exit $BG_RC; "
  verdict "both: the CAN FD airport upload beside it, flash digest equals the file's" $s \
    "$problem$(flash_holds $W/airports-quarter.db 0x00000000)"
}

group_both() {
  unit_start --usb --can can0 --sensor-broadcasts --other-node --serial 0000B003 ||
    verdict "both: the virtual unit starts" "$(now_ms)" "it did not"
  link_checks both "USB HID" 0x0000B003 usb
  cross_link_check
  window_check both "Connected via both USB HID and CAN FD"
  unit_stop
}

make_files
setup_check
ALL="no_unit usb can both can_down unplug mtu16 permission udev"
for g in ${ONLY:-$ALL}; do
  case " $ALL " in
    *" $g "*) group_$g ;;
    *) verdict "group $g" "$(now_ms)" "no such group (groups: $ALL)" ;;
  esac
done
echo "checks ended after $(secs $T0) s" >> "$RESULTS"
