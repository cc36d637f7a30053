#!/usr/bin/env bash
# Builds telltrail and runs every test, on a fresh Debian 12 machine as well:
# installs the Debian packages that are missing (as root), then runs the
# stages in order. Any failing stage fails the whole run.
#
#   tools/run-tests.sh            all stages
#   tools/run-tests.sh native asan   only the named stages
#
# Build trees go to build/<stage> below the source tree.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
JOBS=$(nproc 2>/dev/null || echo 2)
# What the guests fetch (Debian's kernel) is cached in the build tree.
export TELLTRAIL_VMTEST_CACHE=${TELLTRAIL_VMTEST_CACHE:-$ROOT/build/vmtest-kernel}
ALL_STAGES=(native asan guest fuzz armhf package system)
STAGES=("$@")
[ ${#STAGES[@]} -gt 0 ] || STAGES=("${ALL_STAGES[@]}")

PACKAGES=(
  build-essential cmake g++ pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # guest: QEMU and what goes into the test guest's initramfs (the guest's
  # kernel is fetched by tools/vmtest/run-in-guest.sh with apt-get download)
  qemu-system-x86 busybox-static can-utils cpio xz-utils
  # system: the system guest's Debian root file system, made once with
  # mmdebstrap from the machine's apt sources and cached as an ext4 image
  mmdebstrap e2fsprogs debian-archive-keyring
  # armhf: cross compiler and C library for 32-bit Arm, user-mode emulator
  g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user-static
  # fuzz: clang with the libFuzzer and sanitizer runtimes
  clang libclang-rt-14-dev
  # package: Debian package tools, the manual page's converter, the package
  # checker, man for the installed page, systemd-analyze for the unit
  dpkg-dev pandoc lintian man-db systemd
  # database output: the tests start throwaway MariaDB servers of their own
  # (tools/mariadb/test-server.sh); the logger loads libmysqlclient.so
  mariadb-server mariadb-client libmariadb-dev-compat
  # HTTP client and HTTP output tests: real servers started by
  # tools/httpserver/httpserver.sh, port 80 in a network namespace of their
  # own (ip), the PUT receiver's database driver, curl for hand-made bodies
  php-cli php-fpm nginx iproute2 php-mysql curl
  # log file forms judged by the CAN world's tools (python-can's reader,
  # can-utils' log2asc and canplayer), the retention with the clock moved,
  # its compressors and the export's decompressors
  python3-can faketime zstd gzip
  # web page: Chart.js from Debian, and a headless browser that the test
  # drives (chromium with its WebDriver, through Debian's Python selenium)
  libjs-chart.js chromium chromium-driver python3-selenium
  # MQTT output: throwaway Mosquitto brokers (tools/mosquitto/test-broker.sh,
  # TLS with an openssl test CA), mosquitto_sub as the judge; the logger
  # loads libmosquitto.so.1
  mosquitto mosquitto-clients libmosquitto1 openssl
)

log() { printf '\n=== %s ===\n' "$*"; }

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing: ${missing[*]}"
  local SUDO=
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure_build <dir> <cmake args...>
configure_build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -DTELLTRAIL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
}

run_ctest() {
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j"$JOBS" "$@"
}

stage_native() {
  log "native build and unit tests"
  configure_build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
  run_ctest build/native -LE guest
}

stage_asan() {
  log "AddressSanitizer + UndefinedBehaviorSanitizer build and unit tests"
  configure_build build/asan -DCMAKE_BUILD_TYPE=Debug -DTELLTRAIL_SANITIZE=ON -DTELLTRAIL_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build/asan -LE guest
}

# Tests that need a real Linux kernel with CAN run in a throwaway QEMU guest
# (tools/vmtest): first the harness's own smoke test, then the native build's
# tests labelled guest, one guest at a time (the timing checks inside a guest
# need the two cores to themselves).
stage_guest() {
  log "tests in a QEMU guest with a Linux kernel and vcan"
  configure_build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
  tests/vmtest/smoke.sh
  run_ctest build/native -L guest -j1
}

# libFuzzer runs with ASan+UBSan, each target a small direct clang build
# seeded from its committed corpus (new inputs go to build/fuzz, so the
# committed corpora stay as they are): the XML settings reader, the HTTP
# client's answer reader fed the bytes directly,
# the frame text readers, and the CAN232 line decoder fed serial bytes as the
# driver feeds it. FUZZ_SECONDS (default 150) is the whole stage's fuzzing
# time, split 2:2:1:1.
fuzz_build() {
  local out=$1; shift
  clang++ -std=c++17 -g -O1 -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all "$@" -o "$out"
}

fuzz_run() {
  local name=$1 seconds=$2 max_len=$3 seeds=$4; shift 4
  local dir=build/fuzz
  log "libFuzzer run: $name (${seconds} s)"
  mkdir -p "$dir/corpus_$name"
  ASAN_OPTIONS=detect_leaks=1 "$dir/fuzz_$name" -max_total_time="$seconds" -max_len="$max_len" \
    -timeout=10 -artifact_prefix="$dir/$name-" -print_final_stats=1 "$@" \
    "$dir/corpus_$name" "$seeds"
}

stage_fuzz() {
  local dir=build/fuzz total=${FUZZ_SECONDS:-150}
  local share=$(( total / 6 > 1 ? total / 6 : 1 ))
  local can=(can/*.cpp)
  mkdir -p "$dir"
  fuzz_build "$dir/fuzz_xml" -I xml -I can xml/KXmlNodeList.cpp xml/XmlParser.cpp "${can[@]}" \
    tests/xml/fuzz_xml.cpp
  fuzz_build "$dir/fuzz_http" -I net -I can net/HttpAnswer.cpp net/PrintableText.cpp \
    "${can[@]}" tests/net/fuzz_http.cpp
  fuzz_build "$dir/fuzz_comfort" -I can "${can[@]}" tests/can/fuzz_comfort.cpp
  fuzz_build "$dir/fuzz_can232" -I can -I tools/candump_log "${can[@]}" \
    tools/candump_log/CandumpLog.cpp tests/can/fuzz_can232.cpp
  fuzz_run xml $(( share * 2 )) 4096 tests/xml/corpus -dict=tests/xml/fuzz_xml.dict
  fuzz_run http $(( share * 2 )) 4096 tests/net/corpus/http -dict=tests/net/fuzz_http.dict
  fuzz_run comfort "$share" 256 tests/can/corpus/comfort
  fuzz_run can232 "$share" 512 tests/can/corpus/can232
}

# 32-bit Arm (the target boards): cross build with 64-bit time_t, unit tests
# run under qemu-arm-static. Tests labelled guest (need the QEMU guest kernel)
# or native-only (see tests/CMakeLists.txt) do not run here.
stage_armhf() {
  log "armhf cross build and unit tests under qemu-arm"
  configure_build build/armhf -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/arm-linux-gnueabihf.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLTRAIL_BENCH=OFF
  run_ctest build/armhf -LE 'guest|native-only'
}

# Debian packages for amd64 and armhf (tools/package.sh, own build trees in
# build/package), then their checks: contents, lintian, the unit, the Arm
# programs under qemu-arm-static, and, as root, a real dpkg -i / -r / -P.
PACKAGED=0
stage_package() {
  log "Debian packages and their checks"
  JOBS=$JOBS tools/package.sh
  JOBS=$JOBS tests/packaging/check-packages.sh build/package
  PACKAGED=1
}

# The amd64 package installed and run as a service under a real systemd: a
# Debian 12 system guest in QEMU (tools/vmtest/run-system-guest.sh) with vcan
# and MariaDB, booted twice (tests/system/service.sh names each check). The
# package is the package stage's, or built here when that stage did not run.
stage_system() {
  log "the packaged service under systemd in a Debian system guest"
  [ "$PACKAGED" = 1 ] || JOBS=$JOBS tools/package.sh amd64
  JOBS=$JOBS tests/system/run.sh build/native
}

# run_stages STAGE...: the stages in order, each with its time.
run_stages() {
  local s t0
  for s in "$@"; do
    t0=$(date +%s)
    "stage_$s"
    log "stage $s passed in $(( $(date +%s) - t0 )) s"
  done
}

# The whole run goes in two lanes side by side, so that one lane's builds
# use the cores while the other's tests wait on servers and guests: the
# native build and its tests, the guest tests (on that build) and the
# fuzzing; beside them the sanitizer build, the Arm build, the packages and
# the system guest. Each lane writes its own log, shown whole once it ends.
# TELLTRAIL_SERIAL=1 runs the stages one after the other instead.
LANE_A=(native guest fuzz)
LANE_B=(asan armhf package system)
run_lanes() {
  local dir=build/lanes a b status=0
  mkdir -p "$dir"
  ( run_stages "${LANE_A[@]}" ) > "$dir/a.log" 2>&1 &
  a=$!
  ( run_stages "${LANE_B[@]}" ) > "$dir/b.log" 2>&1 &
  b=$!
  wait "$a" || status=1
  log "lane 1 (${LANE_A[*]}): $dir/a.log"
  cat "$dir/a.log"
  wait "$b" || status=1
  log "lane 2 (${LANE_B[*]}): $dir/b.log"
  cat "$dir/b.log"
  if [ "$status" -ne 0 ]; then
    log "a stage failed after $(( $(date +%s) - start )) s"
    exit 1
  fi
}

install_packages
start=$(date +%s)
# Called on their own, never as a condition: a condition would turn off
# set -e inside them and a failing stage would go unnoticed.
if [ $# -eq 0 ] && [ "${TELLTRAIL_SERIAL:-0}" != 1 ]; then
  run_lanes
else
  run_stages "${STAGES[@]}"
fi
log "all stages passed (${STAGES[*]}) in $(( $(date +%s) - start )) s"
