#!/bin/bash
# Memory of the four drivers, each running against its simulator with the demo station's
# configuration (sim/demo): meterlink (port 6) and teleinfosim, gaugereader (port 7) and mbussim,
# busbridge (port 8) and unitelwaysim, plcbridge (port 2) and syswaysim, the station core
# stand-in behind them. After SECONDS seconds it prints, per driver, /proc/PID/smaps_rollup's
# resident and private figures, and the private memory (Private_Clean + Private_Dirty) summed
# by mapping from /proc/PID/smaps: the program's own file (text, data, relro), its heap, the
# stack, each shared library, anonymous mappings, the shared-memory segments (SYSV) and the
# kernel's pages (vdso, vvar).
#
# Build the drivers, the simulators and stationcore (release preset), then:
#   bench/driver_memory.sh build/release/bin [SECONDS=10]
# With DETAIL=1 in the environment it also lists every mapping that has resident pages.
# It runs in private IPC and mount namespaces: as root directly, otherwise in a user namespace
# of its own (where the system allows them).
set -e
if [ -z "$DRIVER_MEMORY_INSIDE" ]; then
  ns=(--ipc --mount)
  [ "$(id -u)" -eq 0 ] || ns=(--user --map-root-user "${ns[@]}")
  DRIVER_MEMORY_INSIDE=1 exec unshare "${ns[@]}" "$0" "$@"
fi
BIN=$(cd "$1" && pwd); SECS=${2:-10}
# Pages of a file written moments ago (a program just linked) count as dirty until written back.
sync
SRC=$(cd "$(dirname "$0")/.." && pwd)
ROOT=$(mktemp -d /tmp/drvmem.XXXXXX); export STATION_ROOT=$ROOT
mkdir -p $ROOT/{etc,tmp,var/run,var/log,var/parameters,var/nonvolatile,dev,sim}
cp $SRC/sim/demo/orxapp.ini $ROOT/etc/orxapp.ini
cp $SRC/sim/demo/orxapp.ini $ROOT/tmp/orxapp.ini
cp $SRC/sim/demo/configuration.xml $ROOT/var/parameters/configuration.xml
pids=()
trap '[ ${#pids[@]} -eq 0 ] || kill -TERM "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$ROOT"' EXIT
waitfor() { while [ ! -e "$1" ]; do sleep 0.05; done; }

$BIN/stationcore Site=$SRC/sim/sites/sample.site Journal=/dev/null > $ROOT/core.out 2>&1 &
pids+=($!)
waitfor $ROOT/var/run/chanmgr.pid
$BIN/teleinfosim --link $ROOT/dev/ttyUSB0 --script $SRC/sim/demo/meter.script > /dev/null 2>&1 &
pids+=($!)
$BIN/mbussim --link $ROOT/dev/ttyUSB1 --script $SRC/sim/demo/mbus.script > /dev/null 2>&1 &
pids+=($!)
$BIN/unitelwaysim --link $ROOT/dev/ttyUSB2 --script $SRC/sim/demo/unitelway.script > /dev/null 2>&1 &
pids+=($!)
$BIN/syswaysim --link $ROOT/dev/orxcom0 --script $SRC/sim/demo/plc.script > /dev/null 2>&1 &
pids+=($!)
for d in ttyUSB0 ttyUSB1 ttyUSB2 orxcom0; do waitfor $ROOT/dev/$d; done
declare -A PID
for driver in "meterlink 6" "gaugereader 7" "busbridge 8" "plcbridge 2"; do
  set -- $driver
  $BIN/$1 Port=$2 > $ROOT/$1.out 2>&1 &
  PID[$1]=$!; pids+=($!)
done
sleep $SECS

for driver in meterlink gaugereader busbridge plcbridge; do
  pid=${PID[$driver]}
  if [ ! -e /proc/$pid/smaps ]; then
    echo "$driver: not running"; cat $ROOT/$driver.out; continue
  fi
  echo "== $driver (pid $pid)"
  awk '/^(Rss|Pss|Private_Clean|Private_Dirty|Anonymous):/ {printf "  %s %s kB", $1, $2} END {print ""}' \
    /proc/$pid/smaps_rollup
  awk -v program=$BIN/$driver '
    /^[0-9a-f]+-[0-9a-f]+ / {
      name = $6
      if (name == "") name = "[anonymous]"
      else if (name == program) name = "[program]"
      else if (name ~ /^\/SYSV/) name = "[shared memory]"
      else if (name ~ /^\//) { n = split(name, parts, "/"); name = parts[n]; sub(/\.so.*/, "", name) }
      next
    }
    /^Private_(Clean|Dirty):/ { kb[name] += $2; total += $2 }
    END {
      printf "  private %d kB:", total
      for (m in kb) if (kb[m] > 0) printf " %s %d", m, kb[m]
      print ""
    }' /proc/$pid/smaps
  if [ -n "$DETAIL" ]; then  # every mapping with resident pages: Rss, private clean, private dirty
    awk '/^[0-9a-f]+-[0-9a-f]+ / {m = $0} /^(Rss|Private_Clean|Private_Dirty):/ {v[$1] = $2}
      /^Swap:/ {if (v["Rss:"] > 0) printf "    %6d %6d %6d  %s\n", v["Rss:"], v["Private_Clean:"], v["Private_Dirty:"], m}' \
      /proc/$pid/smaps
  fi
done
