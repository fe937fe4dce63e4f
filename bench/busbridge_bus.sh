#!/bin/bash
# busbridge on a live bus: the bus master simulator polls it every PERIOD ms on a pty for SECONDS
# seconds while it exchanges a one-word read frame with the station core stand-in behind it.
# Reports the time from the last byte of each poll to the first byte of busbridge's answer (EOT or
# a frame, measured by the simulator) and busbridge's CPU over 60 s of the run.
# Run as root (or where user namespaces are allowed) after building busbridge, unitelwaysim and
# stationcore with the release preset:
#   unshare -i -m bench/busbridge_bus.sh build/release/bin 20 210
set -e
BIN=$(cd "$1" && pwd); PERIOD=${2:-20}; SECS=${3:-210}
ROOT=$(mktemp -d /tmp/bbbus.XXXXXX); export STATION_ROOT=$ROOT
mkdir -p $ROOT/{etc,tmp,var/run,var/log,var/parameters,dev,sim}
printf '%s\n' 'channel 10 EANA "Mot"' 'channel 11 ETOR "Liaison"' 'frame 1 1 1 10' > $ROOT/sim/site
cat > $ROOT/var/parameters/configuration.xml <<'S'
<?xml version="1.0" encoding="ISO-8859-1"?>
<STATION><AUTOMATE><COM Type="busbridge" Port="6" No="1" Etat="11" Timeout="1000">
<TRAME No="1" Esc="0,254,0,16,0" Code="4" Adr="100"/>
</COM></AUTOMATE></STATION>
S
echo "mem 4 100 1234" > $ROOT/sim/plc
$BIN/stationcore Site=$ROOT/sim/site Journal=/dev/null > $ROOT/core.out 2>&1 & CORE=$!
$BIN/unitelwaysim --link $ROOT/dev/ttyUSB0 --script $ROOT/sim/plc --period $PERIOD \
  --status $ROOT/sim/status --latency $ROOT/sim/latency > $ROOT/sim.out 2>&1 & SIM=$!
while [ ! -e $ROOT/var/run/chanmgr.pid ] || [ ! -e $ROOT/dev/ttyUSB0 ]; do sleep 0.1; done
$BIN/busbridge Port=6 > $ROOT/bb.out 2>&1 & BB=$!
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
sleep $(( (SECS - 60) / 2 ))
read -r -a A < /proc/$BB/stat; T0=$((A[13]+A[14])); W0=$(date +%s.%N)
read -r S0 X < /proc/$BB/schedstat; C0=$(awk '/ctxt_switches/{s+=$2} END{print s}' /proc/$BB/status)
sleep 60
read -r -a A < /proc/$BB/stat; T1=$((A[13]+A[14])); W1=$(date +%s.%N)
read -r S1 X < /proc/$BB/schedstat; C1=$(awk '/ctxt_switches/{s+=$2} END{print s}' /proc/$BB/status)
sleep $(( SECS - 60 - (SECS - 60) / 2 ))
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
grep VmRSS /proc/$BB/status
# busbridge first: a line whose other side went away ends it (a read error is fatal).
kill -TERM $BB; wait $BB 2>/dev/null || true
kill -TERM $SIM $CORE; wait $SIM $CORE || true
echo "busbridge cpu: $(( (T1-T0)*1000/$(getconf CLK_TCK) )) ms over $(echo "$W1 - $W0" | bc) s;" \
  "on cpu $(( (S1-S0)/1000000 )) ms (schedstat), $((C1-C0)) context switches"
cat $ROOT/sim/status $ROOT/sim/latency; rm -rf $ROOT
