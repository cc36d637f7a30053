#!/usr/bin/env bash
# Checks the Debian packages of tools/package.sh as a user of a board meets
# them:
#   - control fields (architecture, version, dependencies, conffiles) and the
#     files every package must hold, the files of other folders that have
#     arrived (examples, schema, PUT receiver, comfort tool) included; the
#     same for the web page's package telltrail-web (architecture all);
#   - lintian: no errors (warnings are listed);
#   - the service unit: systemd-analyze verify, and its exposure level;
#   - the armhf programs under qemu-arm-static: a run on the CAN232 adapter
#     emulator, stopped by SIGTERM, and a refused sample time;
#   - as root: the amd64 package installed with dpkg -i, the logger run from
#     the PATH on the emulator and on the shipped settings file, the manual
#     page, the service user's folders and the settings file's owner and
#     mode, the unit enabled, then dpkg -r (the settings file stays) and
#     dpkg -P (it goes); once more with an administrator's own owner and mode
#     for the settings file, which the package must keep; and once with a
#     PATH without systemd-sysusers and systemd-tmpfiles, as in a container
#     (the user by adduser, the folders by mkdir). A trap purges the
#     package whatever happens. The web page's package installed: its PHP
#     files parse, purge removes them.
# A check that cannot run here says why (SKIP) and is counted.
#
#   check-packages.sh [PACKAGE_DIR]     (default build/package)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:-$ROOT/build/package}
VERSION=$(dpkg-parsechangelog -l "$ROOT/packaging/changelog" -S Version)
ARM_SYSROOT=/usr/arm-linux-gnueabihf

TMP=$(mktemp -d /tmp/telltrail-pkgcheck.XXXXXX)
PIDS=()
INSTALLED_BY_US=0
# An instance enabled for the check, as a user would (systemctl enable).
WANTS_LINK=/etc/systemd/system/multi-user.target.wants/telltrail@pkgcheck.service
ENABLED_BY_US=0
# The settings file's owner and mode as an administrator sets them, for the
# second installation.
SETTINGS=/etc/telltrail/bus.xml
ADMIN_OVERRIDE=0
PASSED=0
SKIPPED=0

# The service user and folders that the check without systemd's tools made
# (none were there before it), removed again.
MADE_USER=0
MADE_DIRS=0
remove_user_made_by_us() {
  if [ "$MADE_USER" = 1 ] && getent passwd telltrail > /dev/null; then
    userdel telltrail || true
    ! getent group telltrail > /dev/null || groupdel telltrail || true
  fi
  [ "$MADE_DIRS" = 0 ] || rm -rf /var/log/telltrail /var/lib/telltrail
  MADE_USER=0
  MADE_DIRS=0
}

cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2> /dev/null || true
  done
  if [ "$INSTALLED_BY_US" = 1 ]; then
    dpkg -P telltrail > /dev/null 2>&1 || echo "check-packages: could not purge telltrail" >&2
  fi
  [ "$ENABLED_BY_US" = 0 ] || rm -f "$WANTS_LINK"
  remove_user_made_by_us
  [ "$ADMIN_OVERRIDE" = 0 ] || dpkg-statoverride --remove "$SETTINGS" > /dev/null 2>&1 || true
  rm -rf "$TMP"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  exit 1
}
pass() {
  echo "ok: $*"
  PASSED=$((PASSED + 1))
}
skip() {
  echo "SKIP: $*"
  SKIPPED=$((SKIPPED + 1))
}
# wait_for <seconds> <command...>: true once the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# --- Control fields and contents --------------------------------------------

# Files every package holds, and those that come with the source tree's
# optional parts.
expected_files() {
  cat << EOF
./usr/bin/telltrail
./usr/bin/can232emu
./lib/systemd/system/telltrail@.service
./lib/systemd/system/telltrail-retry@.timer
./usr/lib/sysusers.d/telltrail.conf
./usr/lib/tmpfiles.d/telltrail.conf
./etc/telltrail/bus.xml
./usr/share/man/man1/telltrail.1.gz
./usr/share/man/man1/can232emu.1.gz
./usr/share/doc/telltrail/copyright
./usr/share/doc/telltrail/changelog.gz
EOF
  local f
  for f in "$ROOT"/examples/*.xml; do
    [ -f "$f" ] && echo "./usr/share/doc/telltrail/examples/${f##*/}"
  done
  [ -f "$ROOT/db/can_log.sql" ] && echo ./usr/share/doc/telltrail/can_log.sql
  [ -f "$ROOT/db/can_log_upgrade.sql" ] && echo ./usr/share/doc/telltrail/can_log_upgrade.sql
  [ -f "$ROOT/server/put_can_log.php" ] && echo ./usr/share/doc/telltrail/put_can_log.php
  [ -f "$ROOT/server/put_can_log.ini.example" ] && echo ./usr/share/doc/telltrail/put_can_log.ini.example
  grep -qs 'comfortsend' "$ROOT/tools/CMakeLists.txt" &&
    printf '%s\n' ./usr/bin/comfortsend ./usr/share/man/man1/comfortsend.1.gz
  grep -qs '(export)' "$ROOT/tools/CMakeLists.txt" &&
    printf '%s\n' ./usr/bin/telltrail-export ./usr/share/man/man1/telltrail-export.1.gz
  grep -qs '(retention)' "$ROOT/tools/CMakeLists.txt" &&
    printf '%s\n' ./usr/bin/telltrail-retention ./usr/share/man/man1/telltrail-retention.1.gz \
      ./lib/systemd/system/telltrail-retention.service ./lib/systemd/system/telltrail-retention.timer
  return 0
}

check_control() {
  local arch=$1 deb=$2
  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package)" = telltrail ] || fail "$arch: Package is \"$(field Package)\""
  [ "$(field Version)" = "$VERSION" ] || fail "$arch: Version $(field Version), changelog $VERSION"
  [ "$(field Architecture)" = "$arch" ] || fail "$arch: Architecture is $(field Architecture)"
  local depends
  depends=$(field Depends)
  # The C and C++ run-time libraries of the board, by their own names and
  # with a version; nothing of the build machine's cross packages.
  local lib
  for lib in libc6 libstdc++6 libgcc-s1; do
    [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] ||
      fail "$arch: Depends lacks $lib: $depends"
  done
  [[ $depends =~ libc6\ \(\>=\ 2\.[0-9]+\) ]] || fail "$arch: libc6 without a version: $depends"
  [[ $depends != *cross* && $depends != *:* ]] || fail "$arch: build machine packages in Depends: $depends"
  # The MySQL and MQTT clients are loaded at run time when their output is
  # chosen: suggestions, never dependencies.
  [[ $depends != *mariadb* && $depends != *mysql* && $depends != *mosquitto* ]] ||
    fail "$arch: database or MQTT client in Depends: $depends"
  [[ $(field Suggests) == *libmariadb-dev-compat* && $(field Suggests) == *libmosquitto1* ]] ||
    fail "$arch: Suggests: $(field Suggests)"
  [ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)" = /etc/telltrail/bus.xml ] ||
    fail "$arch: conffiles is not exactly /etc/telltrail/bus.xml"
  pass "$arch: control fields (Depends: $depends)"

  dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's#/$##' > "$TMP/$arch.files"
  local missing
  missing=$(expected_files | grep -vxF -f "$TMP/$arch.files" || true)
  [ -z "$missing" ] || fail "$arch: package lacks: $missing"
  local owner
  owner=$(dpkg-deb -c "$deb" | awk '$2 != "root/root"' | head -n 3)
  [ -z "$owner" ] || fail "$arch: files not owned by root: $owner"
  pass "$arch: $(grep -c -v '/$' "$TMP/$arch.files") paths, all expected files present"
}

# The web page's package: architecture all, PHP and Chart.js from Debian as
# dependencies, the page's files, its settings as the only conffile.
check_web_control() {
  local deb=$1 depends dep
  [ "$(dpkg-deb -f "$deb" Package)" = telltrail-web ] || fail "web: Package is $(dpkg-deb -f "$deb" Package)"
  [ "$(dpkg-deb -f "$deb" Architecture)" = all ] || fail "web: Architecture is $(dpkg-deb -f "$deb" Architecture)"
  [ "$(dpkg-deb -f "$deb" Version)" = "$VERSION" ] || fail "web: Version $(dpkg-deb -f "$deb" Version)"
  depends=$(dpkg-deb -f "$deb" Depends)
  for dep in libjs-chart.js php-mysql php-fpm; do
    [[ $depends == *"$dep"* ]] || fail "web: Depends lacks $dep: $depends"
  done
  [ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)" = /etc/telltrail-web/web.ini ] ||
    fail "web: conffiles is not exactly /etc/telltrail-web/web.ini"
  dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's#/$##' > "$TMP/web.files"
  local f missing=
  for f in "$ROOT"/web/*.* "$ROOT"/web/lib/*.php; do
    grep -qxF "./usr/share/telltrail-web/${f#"$ROOT"/web/}" "$TMP/web.files" || missing+=" ${f#"$ROOT"/}"
  done
  for f in etc/telltrail-web/web.ini usr/share/doc/telltrail-web/copyright usr/share/doc/telltrail-web/changelog.gz \
           usr/share/doc/telltrail-web/nginx.conf usr/share/doc/telltrail-web/apache.conf \
           usr/share/doc/telltrail-web/can_log.sql usr/share/doc/telltrail-web/can_log_upgrade.sql \
           usr/share/doc/telltrail-web/README.md usr/share/doc/telltrail-web/telltrail-web.md; do
    grep -qxF "./$f" "$TMP/web.files" || missing+=" /$f"
  done
  [ -z "$missing" ] || fail "web: package lacks$missing"
  [ -z "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')" ] || fail "web: files not owned by root"
  pass "web: control fields and $(grep -c -v '/$' "$TMP/web.files") paths (Depends: $depends)"
}

# As root: installed beside its dependencies, every PHP file parses, purge
# takes the settings away.
check_web_installed() {
  local deb=$1 f
  if [ "$(id -u)" -ne 0 ]; then
    skip "dpkg -i telltrail-web: needs root (CI runs as root)"
    return
  fi
  if dpkg-query -W -f='${Status}' telltrail-web 2> /dev/null | grep -qv 'not-installed'; then
    skip "dpkg -i telltrail-web: a telltrail-web package is already on this machine; it is left alone"
    return
  fi
  dpkg -i "$deb" > "$TMP/web-i.out" 2>&1 || { dpkg -P telltrail-web > /dev/null 2>&1 || true
    fail "dpkg -i telltrail-web: $(cat "$TMP/web-i.out")"; }
  for f in /usr/share/telltrail-web/*.php /usr/share/telltrail-web/lib/*.php; do
    php -l "$f" > /dev/null 2>&1 || { dpkg -P telltrail-web > /dev/null 2>&1; fail "php -l $f"; }
  done
  dpkg -P telltrail-web > "$TMP/web-p.out" 2>&1 || fail "dpkg -P telltrail-web: $(cat "$TMP/web-p.out")"
  [ ! -e /etc/telltrail-web/web.ini ] && [ ! -e /usr/share/telltrail-web ] || fail "dpkg -P telltrail-web left files"
  pass "dpkg -i telltrail-web: the PHP files parse; dpkg -P removes them and the settings"
}

# --- lintian ------------------------------------------------------------------

check_lintian() {
  if ! command -v lintian > /dev/null; then
    skip "lintian: not installed (apt-get install lintian)"
    return
  fi
  lintian --display-info "$@" > "$TMP/lintian.out" 2>&1 || true
  local errors warnings
  errors=$(grep -c '^E: ' "$TMP/lintian.out" || true)
  warnings=$(grep -c '^W: ' "$TMP/lintian.out" || true)
  grep -E '^[EWI]: ' "$TMP/lintian.out" || true
  [ "$errors" -eq 0 ] || fail "lintian: $errors errors"
  pass "lintian: $errors errors, $warnings warnings, $(grep -c '^I: ' "$TMP/lintian.out" || true) notes"
}

# --- Service unit ---------------------------------------------------------------

# check_unit <unit file> [--man=no]: verify it and the retry timer beside it
# without a message, and keep the exposure level of the hardening at 3.0 or
# below (0 is best, 10 worst; --threshold counts in tenths).
check_unit() {
  local unit=$1 timer=${1%/*}/telltrail-retry@.timer
  shift
  if ! command -v systemd-analyze > /dev/null; then
    skip "systemd-analyze: not installed (apt-get install systemd)"
    return
  fi
  # verify passes over unknown keys and bad values with a message only: any
  # message fails the check.
  systemd-analyze verify "$@" "$unit" "$timer" > "$TMP/verify.out" 2>&1 ||
    fail "systemd-analyze verify $unit: $(cat "$TMP/verify.out")"
  [ ! -s "$TMP/verify.out" ] || fail "systemd-analyze verify $unit: $(cat "$TMP/verify.out")"
  systemd-analyze security --offline=yes --threshold=30 "$unit" > "$TMP/security.out" 2>&1 ||
    fail "exposure of the unit above 3: $(tail -n 1 "$TMP/security.out")"
  pass "systemd-analyze verify ${*:+$* }${unit##*/}; $(tail -n 1 "$TMP/security.out" | sed 's/^→ //')"
}

# --- A run of the logger on the CAN232 adapter emulator ------------------------

# logger_run <label> <telltrail command> <can232emu command>: telltrail logs
# the emulator's frames as CSV; SIGTERM ends it with status 0 and its
# termination line; the log file holds complete CSV lines. The commands are
# words (a program, or the emulator with the program).
logger_run() {
  local label=$1 telltrail=$2 emu=$3
  local dir=$TMP/run-$label
  mkdir -p "$dir"
  # shellcheck disable=SC2086
  $emu --quiet --link "$dir/ttyPKG" --rate 200 --mix std,ext,rtr --seed 7 2> "$dir/emu.err" &
  local emu_pid=$!
  PIDS+=("$emu_pid")
  wait_for 20 test -L "$dir/ttyPKG" || fail "$label: the emulator did not start: $(cat "$dir/emu.err")"
  # shellcheck disable=SC2086
  $telltrail "..$dir/ttyPKG" 1 "$dir/canlog" csv > "$dir/telltrail.out" 2>&1 &
  local tt_pid=$!
  PIDS+=("$tt_pid")
  logged() { [ "$(cat "$dir"/canlog_* 2> /dev/null | wc -l)" -ge 100 ]; }
  wait_for 60 logged || fail "$label: no frames logged: $(tail -n 5 "$dir/telltrail.out")"
  kill -TERM "$tt_pid"
  local status=0
  wait "$tt_pid" || status=$?
  kill -TERM "$emu_pid"
  wait "$emu_pid" || true
  [ "$status" -eq 0 ] || fail "$label: telltrail ended with $status after SIGTERM"
  grep -q ' terminated$' "$dir/telltrail.out" || fail "$label: no termination line"
  local bad
  bad=$(cat "$dir"/canlog_* | awk -F, 'NF != 13' | head -n 3)
  [ -z "$bad" ] || fail "$label: log lines that are not CSV frames: $bad"
  pass "$label: $(cat "$dir"/canlog_* | wc -l) frames logged from the emulator, SIGTERM ends with 0"
}

# refused_sample_time <label> <telltrail command>: a start-up failure exits 255.
refused_sample_time() {
  local label=$1 telltrail=$2 status=0
  # shellcheck disable=SC2086
  $telltrail can0 10s > "$TMP/refused.out" 2>&1 || status=$?
  [ "$status" -eq 255 ] || fail "$label: status $status for sample time 10s, expected 255"
  grep -q '^not valid sample time: 10s$' "$TMP/refused.out" || fail "$label: $(cat "$TMP/refused.out")"
  pass "$label: sample time 10s refused with 255"
}

check_armhf_programs() {
  local deb=$1
  if ! command -v qemu-arm-static > /dev/null || [ ! -e "$ARM_SYSROOT/lib/ld-linux-armhf.so.3" ]; then
    skip "armhf programs: qemu-arm-static or the Arm C library is missing (qemu-user-static, libc6-armhf-cross)"
    return
  fi
  local root=$TMP/armhf-root
  dpkg-deb -x "$deb" "$root"
  # The board's binary keeps time past 2038: built with the 64-bit time_t
  # of glibc, it imports the time64 variants and none of the 32-bit calls.
  local imports
  imports=$(readelf --dyn-syms -W "$root/usr/bin/telltrail" | awk '{ print $8 }')
  local old
  old=$(grep -E '^(time|gettimeofday|clock_gettime|nanosleep|select|recvmsg|fstat|localtime|gmtime|mktime)@' \
          <<< "$imports" || true)
  [ -z "$old" ] || fail "armhf telltrail imports 32-bit time_t calls: $old"
  grep -qE '^__(gettimeofday|clock_gettime)64@' <<< "$imports" ||
    fail "armhf telltrail imports no 64-bit time call"
  pass "armhf telltrail: 64-bit time_t ($(grep -cE '^__.*64@' <<< "$imports") time64 imports)"
  local qemu="qemu-arm-static -L $ARM_SYSROOT"
  refused_sample_time "armhf telltrail under qemu" "$qemu $root/usr/bin/telltrail"
  logger_run armhf-qemu "$qemu $root/usr/bin/telltrail" "$qemu $root/usr/bin/can232emu"
}

# --- Installed for real --------------------------------------------------------

check_installed() {
  local deb=$1
  if [ "$(id -u)" -ne 0 ]; then
    skip "dpkg -i: needs root (CI runs as root)"
    return
  fi
  if dpkg-query -W -f='${Status}' telltrail 2> /dev/null | grep -qv 'not-installed'; then
    skip "dpkg -i: a telltrail package is already on this machine; it is left alone"
    return
  fi
  INSTALLED_BY_US=1
  dpkg -i "$deb" > "$TMP/dpkg-i.out" 2>&1 || fail "dpkg -i: $(cat "$TMP/dpkg-i.out")"
  [ "$(command -v telltrail)" = /usr/bin/telltrail ] || fail "telltrail is not on the PATH"
  pass "dpkg -i $(basename "$deb")"

  refused_sample_time "installed telltrail" telltrail
  logger_run installed telltrail can232emu

  # The shipped settings: can0 to the daily file below /var/log/telltrail,
  # every 10 s. Without a can0 here the run ends by itself (SocketCAN error);
  # with one it is stopped after a few seconds.
  local status=0
  timeout -s TERM 20 telltrail /etc/telltrail/bus.xml > "$TMP/bus.out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 1 ] || fail "telltrail /etc/telltrail/bus.xml: status $status: $(cat "$TMP/bus.out")"
  grep -q '^log file: /var/log/telltrail/bus_[0-9]\{8\}\.log$' "$TMP/bus.out" &&
    grep -q '^device: can0$' "$TMP/bus.out" && grep -q '^sample time: 10 sec$' "$TMP/bus.out" ||
    fail "settings of /etc/telltrail/bus.xml not taken: $(cat "$TMP/bus.out")"
  pass "telltrail /etc/telltrail/bus.xml: can0, every 10 s, to /var/log/telltrail/bus_YYYYMMDD"

  if [ -f /usr/share/man/man1/telltrail.1.gz ]; then
    man -P cat telltrail 2> "$TMP/man.err" > "$TMP/man.out" || fail "man telltrail: $(cat "$TMP/man.err")"
    grep -q '^EXIT STATUS' "$TMP/man.out" && grep -q 'telltrail@' "$TMP/man.out" ||
      fail "man telltrail shows another page"
    pass "man telltrail ($(wc -l < "$TMP/man.out") lines)"
    check_unit /lib/systemd/system/telltrail@.service
  else
    skip "man telltrail: dpkg did not install /usr/share/man on this machine (path-exclude in /etc/dpkg/dpkg.cfg.d)"
    check_unit /lib/systemd/system/telltrail@.service --man=no
  fi

  if command -v systemd-sysusers > /dev/null && command -v systemd-tmpfiles > /dev/null; then
    getent passwd telltrail > /dev/null || fail "the service user telltrail was not created"
    pass "service user: $(getent passwd telltrail | cut -d: -f1,3,6,7)"
    # The settings may hold a password: the service's group reads them,
    # nobody else. The folders are there before any start of the unit, for
    # a run by hand as the service user.
    [ "$(stat -c '%U:%G %a' "$SETTINGS")" = "root:telltrail 640" ] ||
      fail "$SETTINGS is $(stat -c '%U:%G %a' "$SETTINGS"), expected root:telltrail 640"
    local d
    for d in /var/log/telltrail /var/lib/telltrail/bus; do
      setpriv --reuid=telltrail --regid=telltrail --init-groups test -w "$d" -a -r "$SETTINGS" ||
        fail "the service user cannot write $d or read $SETTINGS: $(stat -c '%n %U:%G %a' "$d")"
    done
    pass "$SETTINGS root:telltrail 640; /var/log/telltrail, /var/lib/telltrail/bus writable by telltrail"
  else
    skip "service user and folders: systemd-sysusers or systemd-tmpfiles is not installed (systemd makes them at boot)"
  fi

  if command -v systemctl > /dev/null; then
    ENABLED_BY_US=1
    systemctl enable telltrail@pkgcheck.service > "$TMP/enable.out" 2>&1 ||
      fail "systemctl enable telltrail@pkgcheck: $(cat "$TMP/enable.out")"
    [ -L "$WANTS_LINK" ] || fail "systemctl enable made no link $WANTS_LINK"
    pass "systemctl enable telltrail@pkgcheck: $(readlink "$WANTS_LINK")"
  else
    skip "systemctl enable: systemctl is not installed (apt-get install systemd)"
  fi

  dpkg -r telltrail > "$TMP/dpkg-r.out" 2>&1 || fail "dpkg -r: $(cat "$TMP/dpkg-r.out")"
  [ ! -e /usr/bin/telltrail ] || fail "dpkg -r left /usr/bin/telltrail"
  [ -f /etc/telltrail/bus.xml ] || fail "dpkg -r removed the settings file /etc/telltrail/bus.xml"
  dpkg-query -W -f='${Status}\n' telltrail | grep -q 'config-files' || fail "dpkg -r: not in config-files state"
  pass "dpkg -r: programs gone, /etc/telltrail/bus.xml kept"

  dpkg -P telltrail > "$TMP/dpkg-p.out" 2>&1 || fail "dpkg -P: $(cat "$TMP/dpkg-p.out")"
  INSTALLED_BY_US=0
  [ ! -e /etc/telltrail/bus.xml ] || fail "dpkg -P left /etc/telltrail/bus.xml"
  if [ -L "$WANTS_LINK" ]; then
    fail "dpkg -P left the enabled instance's link $WANTS_LINK"
  fi
  ! dpkg-statoverride --list "$SETTINGS" > /dev/null || fail "dpkg -P left the override: $(dpkg-statoverride --list "$SETTINGS")"
  pass "dpkg -P: settings file, its owner and mode, and enabled instance links gone"

  # An administrator's own owner and mode for the settings file stay.
  ADMIN_OVERRIDE=1
  dpkg-statoverride --add root root 0600 "$SETTINGS"
  INSTALLED_BY_US=1
  dpkg -i "$deb" > "$TMP/dpkg-i.out" 2>&1 || fail "dpkg -i: $(cat "$TMP/dpkg-i.out")"
  [ "$(stat -c '%U:%G %a' "$SETTINGS")" = "root:root 600" ] ||
    fail "the package changed the administrator's root:root 600 of $SETTINGS to $(stat -c '%U:%G %a' "$SETTINGS")"
  dpkg -P telltrail > "$TMP/dpkg-p.out" 2>&1 || fail "dpkg -P: $(cat "$TMP/dpkg-p.out")"
  INSTALLED_BY_US=0
  dpkg-statoverride --list "$SETTINGS" | grep -qE "^root root 0?600 $SETTINGS\$" ||
    fail "dpkg -P removed the administrator's override of $SETTINGS"
  dpkg-statoverride --remove "$SETTINGS"
  ADMIN_OVERRIDE=0
  pass "an administrator's owner and mode of $SETTINGS kept through dpkg -i and dpkg -P"
}

# --- Installed without systemd's tools -----------------------------------------

# A container or chroot has no systemd-sysusers or systemd-tmpfiles: dpkg -i
# with a PATH that lacks them (every other program of the PATH linked into a
# folder of its own). The package makes the service user with adduser, the
# folders with mkdir and chown, the settings file root:telltrail 0640, and
# the logger runs by hand as that user, with its own group as the primary
# one and dialout beside it. A user this check made is removed again.
check_installed_without_systemd_tools() {
  local deb=$1
  if [ "$(id -u)" -ne 0 ]; then
    skip "dpkg -i without systemd-sysusers: needs root (CI runs as root)"
    return
  fi
  if dpkg-query -W -f='${Status}' telltrail 2> /dev/null | grep -qv 'not-installed'; then
    skip "dpkg -i without systemd-sysusers: a telltrail package is already on this machine; it is left alone"
    return
  fi
  local bin=$TMP/no-systemd-tools dirs i made_user=0
  mkdir -p "$bin"
  # The PATH's folders from the last to the first, each linked in one go, so
  # that a program of an earlier folder replaces one of a later folder.
  IFS=: read -r -a dirs <<< "$PATH"
  for ((i = ${#dirs[@]} - 1; i >= 0; i--)); do
    [ -d "${dirs[i]}" ] && find "${dirs[i]}" -maxdepth 1 -mindepth 1 -exec ln -sf -t "$bin" {} +
  done
  rm -f "$bin/systemd-sysusers" "$bin/systemd-tmpfiles"
  ! PATH=$bin command -v systemd-sysusers > /dev/null || fail "systemd-sysusers still on the PATH"
  getent passwd telltrail > /dev/null || { made_user=1; MADE_USER=1; }
  [ -e /var/log/telltrail ] || [ -e /var/lib/telltrail ] || MADE_DIRS=1
  INSTALLED_BY_US=1
  PATH=$bin dpkg -i "$deb" > "$TMP/dpkg-i-nosd.out" 2>&1 || fail "dpkg -i without systemd-sysusers: $(cat "$TMP/dpkg-i-nosd.out")"
  getent passwd telltrail > /dev/null || fail "without systemd-sysusers: no user telltrail"
  [ "$(id -gn telltrail)" = telltrail ] || fail "without systemd-sysusers: telltrail's group is $(id -gn telltrail)"
  local want got
  for want in "/var/log/telltrail telltrail:telltrail 755" "/var/lib/telltrail telltrail:telltrail 750" \
              "/var/lib/telltrail/bus telltrail:telltrail 750" "$SETTINGS root:telltrail 640"; do
    got=$(stat -c '%n %U:%G %a' "${want%% *}")
    [ "$got" = "$want" ] || fail "without systemd-tmpfiles: $got, expected $want"
  done
  # Run until its start-up lines show the settings taken (or it ends: no
  # can0 here), then stopped as the service would be.
  local status=0 pid
  runuser -u telltrail -g telltrail -G dialout -- telltrail "$SETTINGS" > "$TMP/bus-nosd.out" 2>&1 &
  pid=$!
  PIDS+=("$pid")
  wait_for 20 grep -q '^sample time: 10 sec$' "$TMP/bus-nosd.out" ||
    fail "runuser -u telltrail: settings not read: $(cat "$TMP/bus-nosd.out")"
  # (runuser hands SIGTERM on to the logger and ends with 143 itself)
  kill -TERM "$pid" 2> /dev/null || true
  wait "$pid" || status=$?
  grep -q '^device: can0$' "$TMP/bus-nosd.out" && grep -q ' terminated$' "$TMP/bus-nosd.out" ||
    fail "runuser -u telltrail: status $status: $(cat "$TMP/bus-nosd.out")"
  dpkg -P telltrail > "$TMP/dpkg-p.out" 2>&1 || fail "dpkg -P: $(cat "$TMP/dpkg-p.out")"
  INSTALLED_BY_US=0
  remove_user_made_by_us
  pass "dpkg -i without systemd-sysusers and systemd-tmpfiles: user $([ "$made_user" = 1 ] && echo made by adduser || echo there before), folders and $SETTINGS as with them; the logger reads its settings as telltrail"
}

# --- cmake --install from a source build ------------------------------------

# Without the package: a build with the default prefix /usr/local installs
# everything below it, and the unit starts the program and reads the settings
# from there.
check_source_install() {
  local build=$TMP/local-build dest=$TMP/local-root
  cmake -S "$ROOT" -B "$build" -DTELLTRAIL_TESTS=OFF -DTELLTRAIL_BENCH=OFF > "$TMP/local.log" 2>&1 &&
    cmake --build "$build" -j"${JOBS:-2}" >> "$TMP/local.log" 2>&1 &&
    DESTDIR=$dest cmake --install "$build" >> "$TMP/local.log" 2>&1 ||
    fail "cmake --install of a source build: $(tail -n 20 "$TMP/local.log")"
  local unit=$dest/usr/local/lib/systemd/system/telltrail@.service
  [ -f "$unit" ] || fail "cmake --install: no unit in /usr/local/lib/systemd/system"
  grep -qx 'ExecStart=/usr/local/bin/telltrail /usr/local/etc/telltrail/%i.xml' "$unit" ||
    fail "cmake --install: the unit starts $(grep '^ExecStart=' "$unit")"
  local f
  for f in bin/telltrail bin/can232emu etc/telltrail/bus.xml lib/sysusers.d/telltrail.conf \
           lib/tmpfiles.d/telltrail.conf \
           share/man/man1/telltrail.1.gz share/doc/telltrail/copyright; do
    [ -f "$dest/usr/local/$f" ] || fail "cmake --install: no /usr/local/$f"
  done
  pass "cmake --install, prefix /usr/local: programs, unit, settings, manual page below /usr/local"
}

# --- Main ------------------------------------------------------------------------

start=$SECONDS
debs=()
for arch in amd64 armhf; do
  deb=$OUT/telltrail_${VERSION}_${arch}.deb
  [ -f "$deb" ] || fail "$deb not found: run tools/package.sh first"
  debs+=("$deb")
  check_control "$arch" "$deb"
done
WEB_DEB=$OUT/telltrail-web_${VERSION}_all.deb
[ -f "$WEB_DEB" ] || fail "$WEB_DEB not found: run tools/package.sh first"
check_web_control "$WEB_DEB"
check_lintian "${debs[@]}" "$WEB_DEB"

# The unit as shipped, checked without installing it: the program it starts
# taken from the package.
mkdir -p "$TMP/amd64-root"
dpkg-deb -x "$OUT/telltrail_${VERSION}_amd64.deb" "$TMP/amd64-root"
sed "s#^ExecStart=/usr/bin/telltrail #ExecStart=$TMP/amd64-root/usr/bin/telltrail #" \
  "$TMP/amd64-root/lib/systemd/system/telltrail@.service" > "$TMP/telltrail@.service"
grep -q "^ExecStart=$TMP" "$TMP/telltrail@.service" || fail "the unit's ExecStart does not start /usr/bin/telltrail"
cp "$TMP/amd64-root/lib/systemd/system/telltrail-retry@.timer" "$TMP/"
check_unit "$TMP/telltrail@.service" --man=no
# The retention service and its timer, the same way.
if [ -f "$TMP/amd64-root/lib/systemd/system/telltrail-retention.service" ]; then
  sed "s#^ExecStart=/usr/bin/#ExecStart=$TMP/amd64-root/usr/bin/#" \
    "$TMP/amd64-root/lib/systemd/system/telltrail-retention.service" > "$TMP/telltrail-retention.service"
  cp "$TMP/amd64-root/lib/systemd/system/telltrail-retention.timer" "$TMP/"
  check_unit "$TMP/telltrail-retention.service" --man=no
  if command -v systemd-analyze > /dev/null; then
    systemd-analyze verify --man=no "$TMP/telltrail-retention.timer" > "$TMP/verify-timer.out" 2>&1 &&
      [ ! -s "$TMP/verify-timer.out" ] ||
      fail "systemd-analyze verify telltrail-retention.timer: $(cat "$TMP/verify-timer.out")"
    pass "systemd-analyze verify telltrail-retention.timer"
  fi
fi

check_source_install
check_armhf_programs "$OUT/telltrail_${VERSION}_armhf.deb"
check_installed_without_systemd_tools "$OUT/telltrail_${VERSION}_amd64.deb"
check_installed "$OUT/telltrail_${VERSION}_amd64.deb"
check_web_installed "$WEB_DEB"

echo "package checks: $PASSED passed, $SKIPPED skipped, in $((SECONDS - start)) s"
