#!/bin/bash
BUILD=$1; OUT=$2
R=$OUT/results.txt
exec > $OUT/log.txt 2>&1
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp QT_QPA_PLATFORM=offscreen
t() { local s=$(date +%s%N); "$@"; local rc=$?; echo "== $* rc=$rc $(( ($(date +%s%N)-s)/1000000 )) ms"; }
cat /sys/devices/system/clocksource/clocksource0/current_clocksource
grep -i "vendor_id\|model name" /proc/cpuinfo | head -2
cat /sys/devices/system/cpu/vulnerabilities/meltdown
ip link add dev can0 type vcan && ip link set can0 mtu 72 up
$BUILD/skarvel-virtual-unit --usb --can can0 > /tmp/unit.out 2>/tmp/unit.err &
U=$!
for i in $(seq 50); do [ -e /dev/hidraw0 ] && break; sleep 0.1; done
head -c 524288 /dev/urandom > /tmp/ap.db
t $BUILD/skarvel-efis-cli --link usb airport-db /tmp/ap.db
t $BUILD/skarvel-efis-cli --link can airport-db /tmp/ap.db
kill $U; wait
echo "checks ended" > $R
