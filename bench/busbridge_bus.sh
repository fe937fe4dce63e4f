#!/bin/bash
# busbridge on a live bus: the bus master simulator polls it every PERIOD ms on a pty for SECONDS
# seconds while it exchanges a one-word read frame with the station core stand-in behind it. On a
# second pty, a second simulator polls eotslave (a slave that only answers EOT: the least any
# slave can cost here) at the same period, as a yardstick measured in the same run.
#
# From that one run it prints, for both slaves: the CPU time (utime + stime from /proc, and the
# scheduler's on-CPU time) from WARMUP seconds after the start to the end, as a share of one core;
# the wake-ups (context switches) a poll; and the time from the last byte of each poll to the
# first byte of the answer (EOT or a frame), measured by the simulator over the whole run. Then,
# for STRACE seconds after the run proper (strace slows what it watches, so it is not in the CPU
# figure), busbridge's system calls a poll. The load average is given at the start and the end.
#
# Build busbridge, unitelwaysim, stationcore and eotslave with the release preset, then:
#   bench/busbridge_bus.sh build/release/bin [PERIOD=20] [SECONDS=240] [STRACE=20] [WARMUP=5]
# It runs in private IPC and mount namespaces: as root directly, otherwise in a user namespace
# of its own (where the system allows them).
set -e
if [ -z "$BUSBRIDGE_BUS_INSIDE" ]; then
  ns=(--ipc --mount)
  [ "$(id -u)" -eq 0 ] || ns=(--user --map-root-user "${ns[@]}")
  BUSBRIDGE_BUS_INSIDE=1 exec unshare "${ns[@]}" "$0" "$@"
fi
BIN=$(cd "$1" && pwd); PERIOD=${2:-20}; SECS=${3:-240}; STRACE=${4:-20}; WARMUP=${5:-5}
for p in busbridge unitelwaysim stationcore eotslave; do
  [ -x "$BIN/$p" ] || { echo "busbridge_bus: $BIN/$p is missing" >&2; exit 2; }
done
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
pids=()
trap '[ ${#pids[@]} -eq 0 ] || kill -TERM "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$ROOT"' EXIT

$BIN/stationcore Site=$ROOT/sim/site Journal=/dev/null > $ROOT/core.out 2>&1 & CORE=$!
pids+=($CORE)
while [ ! -e $ROOT/var/run/chanmgr.pid ]; do sleep 0.1; done
# The bus master simulator on dev/ttyUSB<bus>, and the slave given after it on that line.
start_bus() {
  local bus=$1; shift
  $BIN/unitelwaysim --link $ROOT/dev/ttyUSB$bus --script $ROOT/sim/plc --period $PERIOD \
    --status $ROOT/sim/status$bus --latency $ROOT/sim/latency$bus > $ROOT/sim$bus.out 2>&1 &
  SIM[$bus]=$!; pids+=(${SIM[$bus]})
  while [ ! -e $ROOT/dev/ttyUSB$bus ] || [ ! -e $ROOT/sim/status$bus ]; do sleep 0.1; done
  "$@" > $ROOT/slave$bus.out 2>&1 &
  SLAVE[$bus]=$!; pids+=(${SLAVE[$bus]})
}
# The slave first: a line whose other side went away ends busbridge (a read error is fatal).
stop_bus() {
  kill -TERM ${SLAVE[$1]}; wait ${SLAVE[$1]} 2>/dev/null || true
  kill -TERM ${SIM[$1]}; wait ${SIM[$1]} 2>/dev/null || true
}
# CPU (ticks), on-CPU ns, voluntary and all context switches of a process; polls of a bus.
sample() {
  local -a a; read -r -a a < /proc/$1/stat
  local run; read -r run _ < /proc/$1/schedstat
  echo "$((a[13] + a[14])) $run $(awk '/^voluntary_ctxt/{v=$2} /ctxt_switches/{s+=$2} END{print v, s}' /proc/$1/status)"
}
polls() { sed -n 's/.*polls=\([0-9]*\).*/\1/p' $ROOT/sim/status$1; }

start_bus 0 $BIN/busbridge Port=6
start_bus 1 $BIN/eotslave $ROOT/dev/ttyUSB1 6
LOAD0=$(cut -d' ' -f1-3 /proc/loadavg)
sleep $WARMUP
W0=$(date +%s.%N); B0=($(sample ${SLAVE[0]})); E0=($(sample ${SLAVE[1]})); P0=($(polls 0) $(polls 1))
sleep $((SECS - WARMUP))
W1=$(date +%s.%N); B1=($(sample ${SLAVE[0]})); E1=($(sample ${SLAVE[1]})); P1=($(polls 0) $(polls 1))
LOAD1=$(cut -d' ' -f1-3 /proc/loadavg)
RSS=$(awk '/VmRSS/{print $2, $3}' /proc/${SLAVE[0]}/status)
stop_bus 0
stop_bus 1
mv $ROOT/sim/latency0 $ROOT/sim/latency-busbridge
mv $ROOT/sim/status0 $ROOT/sim/status-busbridge

# The system calls, in a run of their own: strace slows what it watches.
SYSCALLS=""
if [ "$STRACE" -gt 0 ] && command -v strace > /dev/null; then
  start_bus 0 $BIN/busbridge Port=6
  sleep 3
  S0=$(polls 0)
  timeout -s INT $STRACE strace -c -f -p ${SLAVE[0]} -o $ROOT/strace.txt 2> /dev/null || true
  S1=$(polls 0)
  stop_bus 0
  SYSCALLS=$(awk -v polls=$((S1 - S0)) '
    $1 ~ /^[0-9.]+$/ && $NF != "total" { calls[$NF] = $4; total += $4 }
    END { if (polls == 0) exit
          line = sprintf("%.2f a poll over %d polls:", total / polls, polls)
          for (c in calls) line = line sprintf(" %s %d (%.2f)", c, calls[c], calls[c] / polls)
          print line }' $ROOT/strace.txt)
fi
kill -TERM $CORE; wait $CORE 2>/dev/null || true
pids=()

TCK=$(getconf CLK_TCK); WALL=$(echo "$W1 - $W0" | bc)
report() {  # name, before, after, polls
  local -a b=($2) a=($3)
  local ms=$(( (a[0] - b[0]) * 1000 / TCK )) run=$(( (a[1] - b[1]) / 1000 ))
  local vol=$((a[2] - b[2])) all=$((a[3] - b[3]))
  printf '%-9s CPU %d ms (on CPU %d.%03d ms) over %.1f s: %s %% of a core (on CPU %s %%); ' \
    "$1" $ms $((run / 1000)) $((run % 1000)) $WALL \
    "$(echo "scale=3; $ms / 10 / $WALL" | bc)" "$(echo "scale=3; $run / 10000 / $WALL" | bc)"
  printf '%d polls, %d wake-ups (%s a poll; %d voluntary)\n' $4 $all \
    "$(echo "scale=2; $all / $4" | bc)" $vol
}
echo "period $PERIOD ms, $SECS s (CPU from ${WARMUP} s on); load average at the start $LOAD0, at the end $LOAD1"
report busbridge "${B0[*]}" "${B1[*]}" $((P1[0] - P0[0]))
report eotslave "${E0[*]}" "${E1[*]}" $((P1[1] - P0[1]))
echo "busbridge resident: $RSS"
[ -z "$SYSCALLS" ] || echo "busbridge system calls (strace -c over $STRACE s after the run): $SYSCALLS"
echo "poll to first answer byte, whole run:"
echo "  busbridge: $(cat $ROOT/sim/latency-busbridge)"
echo "  eotslave:  $(cat $ROOT/sim/latency1)"
echo "simulator with busbridge: $(cat $ROOT/sim/status-busbridge)"
