#!/bin/bash
# The packaged service under a real systemd, as a user meets it on a board:
# runs as root in the system guest (tools/vmtest/run-system-guest.sh), with
# the packages, candump-compare and this script in the working directory,
# vcan can0 up, MariaDB installed. Two boots of the same disk: the second
# follows the "systemctl reboot" that ends the first (exit status 100 asks
# the harness for it). Every step is named in the output; can-utils
# (candump -l, cangen) are the judges of what was logged.
# (The conditions that wait_for evaluates are in single quotes on purpose.)
# shellcheck disable=SC2016
set -u
export LC_ALL=C SYSTEMD_PAGER='' SYSTEMD_COLORS=0
PHASE_FILE=/var/lib/telltrail-systemtest-phase
LOG=/var/log/telltrail
CONF=/etc/telltrail
START=$SECONDS
passed=0 failures=0
PIDS=()

step() { printf '\n== %s (at %d s)\n' "$*" $((SECONDS - START)); }
ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# wait_for <seconds> <command...>: true once the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.5
  done
}
prop() { systemctl show -p "$2" --value "telltrail@$1.service"; }
running() { [ "$(prop "$1" SubState)" = running ]; }
# journal <instance> [n]: the unit's lines of this boot (after the first n),
# bare. (Counted lines, not journal cursors: journalctl 252 may pass over
# the first entry after a cursor when it also filters by unit.)
journal() { journalctl -q -b -u "telltrail@$1" -o cat | tail -n +$((${2:-0} + 1)); }
lines() { journal "$1" | wc -l; }
# in_journal <instance> <n> <pattern>: a line of the unit matches.
in_journal() { journal "$1" "$2" | grep -q -- "$3"; }
# log_lines <name>: all lines of the daily files /var/log/telltrail/<name>_*.
log_lines() { cat "$LOG/$1"_* 2> /dev/null; }
count() { log_lines "$1" | wc -l; }
# compare <what> <candump log> <telltrail log> [--time]: every frame, in order.
compare() {
  local what=$1 dump=$2 log=$3 out
  shift 3
  if out=$(./candump-compare "$@" "$dump" "$log" 2>&1); then
    ok "$what: all $(wc -l < "$dump") frames of candump -l logged, in order"
  else
    fail "$what: logs differ: $(tail -n 5 <<< "$out")"
  fi
}
# dump_start <dir>: candump -l can0 into the folder, in the background.
dump_start() {
  mkdir -p "$1"
  (cd "$1" && exec candump -l can0) &
  DUMP_PID=$!
  PIDS+=("$DUMP_PID")
  sleep 0.5
}
dump_stop() { kill -INT "$DUMP_PID"; wait "$DUMP_PID" 2> /dev/null; }
# started_since <instance> <uptime>: running, in a run started after then.
started_since() {
  running "$1" &&
    awk -v t="$(prop "$1" ExecMainStartTimestampMonotonic)" -v b="$2" 'BEGIN { exit !(t / 1e6 > b) }'
}
# stopped_cleanly <instance>: systemctl stop gave exit status 0 and the
# termination line.
stopped_cleanly() {
  local unit=$1 since status
  since=$(lines "$unit")
  systemctl stop "telltrail@$unit"
  status=$(prop "$unit" ExecMainStatus)
  # (The journal may take the last line a moment after the stop.)
  if [ "$status" != 0 ]; then
    fail "telltrail@$unit: exit status $status after systemctl stop"
  elif ! wait_for 10 in_journal "$unit" "$since" ' terminated$'; then
    fail "telltrail@$unit: no termination line in the journal"
  else
    ok "telltrail@$unit: systemctl stop, exit status 0, termination line in the journal"
  fi
}
# restart_gaps <instance> <n> <status>: seconds from each exit with the
# status to the next start, from the journal's monotonic times (after the
# first n lines).
restart_gaps() {
  journalctl -q -b -u "telltrail@$1" -o short-monotonic | tail -n +$(($2 + 1)) |
    awk -v status="status=$3/" '
      { t = substr($0, 2, index($0, "]") - 2) + 0 }
      index($0, "Main process exited") && index($0, status) { exited = t }
      exited && / Started telltrail@/ { printf "%.0f ", t - exited; exited = 0 }'
}
# settings <instance> <elements...>: /etc/telltrail/<instance>.xml, readable
# by the service's group only, as the shipped file is.
settings() {
  local name=$1
  shift
  printf '<telltrail>\n' > "$CONF/$name.xml"
  printf '  %s\n' "$@" >> "$CONF/$name.xml"
  printf '</telltrail>\n' >> "$CONF/$name.xml"
  chown root:telltrail "$CONF/$name.xml"
  chmod 640 "$CONF/$name.xml"
}
# strict <instance>: a call outside the unit's system call filter kills the
# process (SIGSYS, logged) instead of failing with EPERM, which a program
# may pass over without a word. The filter itself stays the shipped one.
strict() {
  mkdir -p "/etc/systemd/system/telltrail@$1.service.d"
  printf '[Service]\nSystemCallErrorNumber=\n' > "/etc/systemd/system/telltrail@$1.service.d/strict.conf"
}
# seccomp_records: the kernel's records of calls refused by a system call
# filter in this boot (through the audit log into the journal).
seccomp_records() { journalctl -q -b -o cat | grep -E 'type=1326|^SECCOMP '; }
# hardening_report: nothing the logger did was refused by the sandbox in
# this boot: no SIGSYS kill, no EPERM or "not permitted" in its output, no
# seccomp record but the canary's bind() (system call 49).
hardening_report() {
  local found
  found=$(journalctl -q -b -u 'telltrail@*' -o cat | grep -v '^telltrail@canary' |
          grep -E 'status=31/SYS|Operation not permitted|EPERM|EACCES|Permission denied')
  [ -z "$found" ] || fail "the sandbox refused the logger something: $(head -n 5 <<< "$found")"
  found=$(seccomp_records | grep -v ' syscall=49 ')
  [ -z "$found" ] || fail "seccomp records: $(head -n 3 <<< "$found")"
  [ -z "$found" ] && ok "no SIGSYS, EPERM or seccomp record for the logger in this boot's journal"
}
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2> /dev/null; done
}
trap cleanup EXIT
cd "$(dirname "$0")" || exit 1

phase=$(cat "$PHASE_FILE" 2> /dev/null || echo 1)
if [ "$phase" = 1 ]; then
  # --------------------------------------------------------------- boot 1
  step "boot 1: system up"
  systemd-analyze | head -n 1
  state=$(systemctl is-system-running)
  [ "$state" = running ] || fail "system state $state: $(systemctl --failed --no-legend)"

  step "dpkg -i $(echo *.deb)"
  if dpkg -i ./*.deb > /tmp/dpkg.out 2>&1; then
    ok "installed: $(dpkg-query -W -f='${Package} ${Version}  ' 'telltrail*')"
  else
    fail "dpkg -i: $(tail -n 5 /tmp/dpkg.out)"
    exit 1
  fi

  step "systemd-analyze security telltrail@bus"
  systemd-analyze security --threshold=30 telltrail@bus > /tmp/security.out 2>&1 ||
    fail "exposure above 3.0"
  tail -n 1 /tmp/security.out

  step "the shipped settings run by hand as the service user (no unit started yet)"
  dump_start /tmp/hand
  setpriv --reuid=telltrail --regid=telltrail --init-groups telltrail "$CONF/bus.xml" > /tmp/hand.out 2>&1 &
  hand=$!
  PIDS+=("$hand")
  sleep 1
  cangen can0 -I i -L i -D i -n 500 -g 1
  sleep 1
  kill -TERM $hand
  wait $hand
  status=$?
  dump_stop
  grep -q 'not opened' /tmp/hand.out && fail "run by hand: $(grep 'not opened' /tmp/hand.out)"
  [ $status -eq 0 ] || fail "run by hand: exit status $status: $(tail -n 3 /tmp/hand.out)"
  log_lines bus > /tmp/hand.log
  compare "run by hand as telltrail" /tmp/hand/candump-*.log /tmp/hand.log --time

  step "systemctl enable --now telltrail@bus; cangen traffic"
  mark=$(count bus)
  c=$(lines bus)
  dump_start /tmp/capture
  systemctl enable --now telltrail@bus 2>&1
  wait_for 30 in_journal bus "$c" "^log file: $LOG/bus_" ||
    fail "telltrail@bus did not start: $(journal bus "$c" | tail -n 5)"
  cangen can0 -I i -L i -D i -n 4000 -g 0.1
  cangen can0 -e -I r -L r -D r -n 1000 -g 0.1
  cangen can0 -R -I r -L r -n 500 -g 0.1
  cangen can0 -e -R -L 0 -n 100 -g 0.1
  if wait_for 30 eval '[ $(($(count bus) - mark)) -ge 5600 ]'; then
    ok "$(($(count bus) - mark)) frames in $LOG/bus_* within a sample period"
  else
    fail "after 30 s $(($(count bus) - mark)) of 5600 frames in $LOG/bus_*"
  fi

  step "systemctl stop telltrail@bus"
  stopped_cleanly bus
  dump_stop
  log_lines bus | tail -n +$((mark + 1)) > /tmp/capture.log
  compare "telltrail@bus" /tmp/capture/candump-*.log /tmp/capture.log --time

  step "ip link del can0 during a run: exit 1, restart after RestartSec, logging again once can0 is back"
  c=$(lines bus)
  systemctl start telltrail@bus
  wait_for 30 in_journal bus "$c" '^log file: ' || fail "telltrail@bus did not start"
  ip link del can0
  wait_for 30 eval '[ "$(prop bus NRestarts)" -ge 2 ]' ||
    fail "telltrail@bus not restarted twice within 30 s: $(systemctl status --no-pager telltrail@bus | tail -n 5)"
  journal bus "$c" | grep -q '^interface can0 removed$' || fail "no \"interface can0 removed\" line"
  journal bus "$c" | grep -q 'status=1/FAILURE' || fail "no exit status 1 in the journal"
  gaps=$(restart_gaps bus "$c" 1)
  echo "seconds from exit 1 to the next start: $gaps"
  for g in $gaps; do
    { [ "$g" -ge 5 ] && [ "$g" -le 15 ]; } || fail "restart after $g s, expected RestartSec (5 s)"
  done
  ip link add dev can0 type vcan && ip link set up dev can0
  back=$(cut -d' ' -f1 /proc/uptime)
  if wait_for 30 started_since bus "$back" && sleep 2 && running bus; then
    ok "telltrail@bus running again on its own, $(prop bus NRestarts) restarts"
  else
    fail "telltrail@bus not running again: $(journal bus "$c" | tail -n 5)"
  fi
  mark=$(count bus)
  dump_start /tmp/back
  cangen can0 -I i -L i -D i -n 2000 -g 0.1
  sleep 1
  stopped_cleanly bus
  dump_stop
  log_lines bus | tail -n +$((mark + 1)) > /tmp/back.log
  compare "telltrail@bus after can0 came back" /tmp/back/candump-*.log /tmp/back.log --time

  step "CAN232 adapter on a serial device of group dialout (can232emu on a pty)"
  mkdir -p /tmp/emu
  can232emu --link /dev/ttyEMU0 --rate 1000 --count 3000 --mix std,ext,rtr --seed 3 \
    --sent-log /tmp/emu/sent.log --linger --quiet 2> /tmp/emu/err &
  PIDS+=($!)
  emu=$!
  wait_for 20 test -L /dev/ttyEMU0 || fail "the emulator did not start: $(cat /tmp/emu/err)"
  # What udev does for a USB serial adapter: root:dialout 0660.
  pts=$(readlink -f /dev/ttyEMU0)
  chgrp dialout "$pts" && chmod 660 "$pts"
  settings serial '<device Name="ttyEMU0"/>' '<sleep Name="1"/>' "<log_file Name=\"$LOG/serial\"/>"
  strict serial
  systemctl daemon-reload
  c=$(lines serial)
  systemctl start telltrail@serial
  if wait_for 60 eval '[ "$(count serial)" -ge 3000 ]'; then
    ok "$(count serial) frames from $pts ($(stat -c '%G %a' "$pts")) in $LOG/serial_*"
  else
    fail "$(count serial) of 3000 frames from the emulator: $(journal serial "$c" | tail -n 5)"
  fi
  stopped_cleanly serial
  kill -TERM $emu
  log_lines serial > /tmp/serial.log
  compare "telltrail@serial" /tmp/emu/sent.log /tmp/serial.log

  step "the sandbox's system call filter, proven to catch a call: telltrail@canary without bind()"
  settings canary '<device Name="can0"/>' '<sleep Name="1"/>'
  strict canary
  printf '[Service]\nSystemCallFilter=~bind\n' > /etc/systemd/system/telltrail@canary.service.d/nobind.conf
  systemctl daemon-reload
  c=$(lines canary)
  systemctl start telltrail@canary
  if wait_for 20 in_journal canary "$c" 'status=31/SYS' &&
     wait_for 10 eval 'seccomp_records | grep -q " syscall=49 "'; then
    ok "a refused call kills the logger with SIGSYS; the journal has it and the kernel's record:"
    seccomp_records | head -n 1
  else
    fail "telltrail@canary: no SIGSYS kill or no seccomp record: $(journal canary "$c" | tail -n 3)"
  fi
  systemctl stop telltrail@canary

  step "database set-up for boot 2, as README says it"
  # (One client run: each costs a second in the guest.)
  {
    for d in canlog canlog_spool; do
      echo "CREATE DATABASE IF NOT EXISTS $d;"
      for host in localhost 127.0.0.1; do
        echo "CREATE USER IF NOT EXISTS 'tt'@'$host' IDENTIFIED BY 'sorrel';"
        echo "GRANT SELECT, INSERT ON $d.* TO 'tt'@'$host';"
      done
      echo "USE $d;"
      cat /usr/share/doc/telltrail/can_log.sql
    done
  } | mariadb || fail "database set-up"
  # A host name, so that the logger resolves it (TCP to 127.0.0.1).
  echo '127.0.0.1 dbhost' >> /etc/hosts
  db='<mysql Host="dbhost" User="tt" Password="sorrel" DB="canlog"/>'
  settings db '<device Name="can0"/>' '<sleep Name="1"/>' "$db"
  settings dbspool '<device Name="can0"/>' '<sleep Name="1"/>' "${db/canlog/canlog_spool}" \
    "<spool Name=\"/var/lib/telltrail/dbspool\"/>"
  settings unreadable '<device Name="can0"/>' '<sleep Name="1"/>' "<log_file Name=\"$LOG/unreadable\"/>"
  chown root:root "$CONF/unreadable.xml"
  chmod 600 "$CONF/unreadable.xml"
  for i in db dbspool unreadable; do strict $i; done
  systemctl daemon-reload
  systemctl enable telltrail@db telltrail@dbspool telltrail@unreadable 2>&1
  # The database is down at the next boot; it is started after the loggers.
  systemctl disable mariadb 2>&1
  ok "databases canlog and canlog_spool, settings db, dbspool (with a spool) and unreadable (0600 root)"

  step "hardening in boot 1"
  hardening_report

  step "systemctl reboot"
  echo "boot 1: $passed passed, $failures failed"
  [ $failures -eq 0 ] || exit 1
  echo 2 > "$PHASE_FILE"
  sync
  exit 100
fi

# ------------------------------------------------------------------- boot 2
step "boot 2: system up again"
systemd-analyze | head -n 1
if running bus; then
  ok "telltrail@bus came back with the reboot"
else
  fail "telltrail@bus is not running after the reboot: $(systemctl status --no-pager telltrail@bus | tail -n 5)"
fi
[ "$(systemctl is-active mariadb)" != active ] || fail "mariadb is running: the next checks need it down"
c=0   # the journal of this boot, from its start
mark=$(count bus)
dump_start /tmp/boot2
dump2=$DUMP_PID
cangen can0 -I i -L i -D i -n 2000 -g 0.1

step "settings file the service user cannot read"
status=$(prop unreadable ExecMainStatus)
[ "$status" = 255 ] || fail "telltrail@unreadable: exit status $status, expected 255"
journal unreadable "$c" | grep -q "^file \"$CONF/unreadable.xml\" not found$" ||
  fail "telltrail@unreadable: $(journal unreadable "$c" | head -n 3)"
running unreadable && fail "telltrail@unreadable is running"
[ "$status" = 255 ] && ok "exit status 255, \"file ... not found\", waiting to retry ($(prop unreadable SubState))"

step "database down at boot, no spool"
status=$(prop db ExecMainStatus)
[ "$status" = 255 ] || fail "telltrail@db: exit status $status, expected 255"
journal db "$c" | grep -q '^can not open database "canlog" (Host: dbhost' ||
  fail "telltrail@db: $(journal db "$c" | head -n 5)"
[ "$status" = 255 ] && ok "exit status 255, \"can not open database\", waiting to retry ($(prop db SubState))"

step "database down at boot, with a spool"
if running dbspool && [ "$(prop dbspool NRestarts)" = 0 ]; then
  ok "telltrail@dbspool keeps running while the database is away"
else
  fail "telltrail@dbspool is not running on: $(journal dbspool "$c" | tail -n 5)"
fi

step "the settings fixed, the database started: picked up without a restart by hand"
chgrp telltrail "$CONF/unreadable.xml"
chmod 640 "$CONF/unreadable.xml"
systemctl start mariadb
if wait_for 100 eval 'running unreadable && running db'; then
  ok "telltrail@unreadable and telltrail@db running, $(prop unreadable NRestarts) and $(prop db NRestarts) restarts"
else
  fail "not running: unreadable $(prop unreadable SubState), db $(prop db SubState)"
fi
for i in unreadable db; do
  gaps=$(restart_gaps $i "$c" 255)
  echo "telltrail@$i: seconds from exit 255 to the next start: $gaps"
  [ -n "$gaps" ] || fail "telltrail@$i: no restart after exit 255"
  for g in $gaps; do
    { [ "$g" -ge 55 ] && [ "$g" -le 90 ]; } || fail "telltrail@$i: retry after $g s, expected about a minute"
  done
done
sleep 2
dump_start /tmp/fixed
fixed=$DUMP_PID
cangen can0 -I i -L i -D i -n 2000 -g 0.1
sleep 3
rows() { mariadb -N -B "$1" -e 'SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log ORDER BY counter'; }
wait_for 20 eval '[ "$(rows canlog | wc -l)" -ge 2000 ] && [ "$(rows canlog_spool | wc -l)" -ge 4000 ]'
DUMP_PID=$fixed dump_stop
rows canlog > /tmp/canlog.rows
compare "telltrail@db, once the database is up" /tmp/fixed/candump-*.log /tmp/canlog.rows --time
log_lines unreadable > /tmp/unreadable.log
compare "telltrail@unreadable, once readable" /tmp/fixed/candump-*.log /tmp/unreadable.log --time

step "systemctl stop of every instance"
for i in bus db dbspool unreadable; do stopped_cleanly $i; done
DUMP_PID=$dump2 dump_stop
rows canlog_spool > /tmp/spool.rows
compare "telltrail@dbspool: frames from before and after the database came up" \
  /tmp/boot2/candump-*.log /tmp/spool.rows --time
log_lines bus | tail -n +$((mark + 1)) > /tmp/boot2.log
compare "telltrail@bus after the reboot" /tmp/boot2/candump-*.log /tmp/boot2.log --time

step "hardening in boot 2"
hardening_report

echo
echo "boot 2: $passed passed, $failures failed"
[ $failures -eq 0 ]
