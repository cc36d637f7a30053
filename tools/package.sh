#!/usr/bin/env bash
# Builds the Debian packages of telltrail from this source tree:
#
#   build/package/telltrail_<version>_amd64.deb    for this machine (x86_64)
#   build/package/telltrail_<version>_armhf.deb    for 32-bit Arm boards
#   build/package/telltrail-web_<version>_all.deb  the web page (web/), for
#                                                  the machine with the database
#
#   tools/package.sh              both
#   tools/package.sh armhf        only the named architectures (amd64, armhf)
#
# Each package is built from scratch in build/package/<arch>/: a release
# build with Debian's hardening flags, `cmake --install --strip` into a
# staging tree, dependencies from dpkg-shlibdeps, the control file from
# dpkg-gencontrol (packaging/control, packaging/changelog), then dpkg-deb.
# The version is the one of packaging/changelog. As root, missing build tools
# are installed with apt-get. JOBS sets the build's parallel jobs.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PKG=$ROOT/packaging
OUT=$ROOT/build/package
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
ARCHES=("$@")
[ ${#ARCHES[@]} -gt 0 ] || ARCHES=(amd64 armhf)

say() { printf '\n=== %s\n' "$*"; }
die() { echo "package.sh: $*" >&2; exit 1; }

for arch in "${ARCHES[@]}"; do
  case $arch in
    amd64 | armhf) ;;
    *) die "unknown architecture \"$arch\" (amd64 or armhf)" ;;
  esac
done
[ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ] ||
  die "this script builds on an amd64 Debian machine"

# Build tools: the Debian package that brings each command.
declare -A TOOL_PACKAGE=(
  [cmake]=cmake [g++]=g++ [make]=make [strip]=binutils [pandoc]=pandoc [gzip]=gzip
  [dpkg-shlibdeps]=dpkg-dev [dpkg-gencontrol]=dpkg-dev [dpkg-buildflags]=dpkg-dev
  [dpkg-parsechangelog]=dpkg-dev
)
for arch in "${ARCHES[@]}"; do
  [ "$arch" = armhf ] && TOOL_PACKAGE[arm-linux-gnueabihf-g++]=g++-arm-linux-gnueabihf
done
missing=()
for tool in "${!TOOL_PACKAGE[@]}"; do
  command -v "$tool" > /dev/null || missing+=("${TOOL_PACKAGE[$tool]}")
done
if [ ${#missing[@]} -gt 0 ]; then
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  [ "$(id -u)" -eq 0 ] || die "please install: apt-get install ${missing[*]}"
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

VERSION=$(dpkg-parsechangelog -l "$PKG/changelog" -S Version)
# Reproducible packages: file times and the build's date stamps come from the
# changelog's latest entry.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$PKG/changelog" -S Timestamp)
export SOURCE_DATE_EPOCH

# build_package <arch>: builds build/package/telltrail_<version>_<arch>.deb.
build_package() {
  local arch=$1
  local work=$OUT/$arch
  local stage=$work/debian/telltrail
  local deb=$OUT/telltrail_${VERSION}_${arch}.deb
  local cmake_args=(-DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr
                    -DTELLTRAIL_TESTS=OFF -DTELLTRAIL_BENCH=OFF)
  local host_env=(env)
  local shlibdeps_args=()
  local strip=strip
  if [ "$arch" = armhf ]; then
    strip=arm-linux-gnueabihf-strip
    cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/arm-linux-gnueabihf.cmake")
    host_env=(env CC=arm-linux-gnueabihf-gcc dpkg-architecture -a armhf -f -c)
    # Debian's cross libraries (libc6-armhf-cross ...) live here.
    shlibdeps_args=(-l/usr/arm-linux-gnueabihf/lib)
  fi

  say "telltrail $VERSION for $arch in ${work#"$ROOT"/}"
  rm -rf "$work" "$deb"
  mkdir -p "$work/debian"

  # Debian's build flags (hardening on) for the target architecture. CMake
  # takes them from the environment of the first configure run, beside the
  # toolchain file's own flags.
  flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all "${host_env[@]}" dpkg-buildflags --get "$1"; }
  CFLAGS="$(flags CFLAGS) $(flags CPPFLAGS)" \
  CXXFLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
  LDFLAGS="$(flags LDFLAGS)" \
    cmake -S "$ROOT" -B "$work/build" "${cmake_args[@]}" > "$work/configure.log" ||
    { cat "$work/configure.log"; die "configure failed ($arch)"; }
  cmake --build "$work/build" -j"$JOBS" > "$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; die "build failed ($arch)"; }
  DESTDIR=$stage cmake --install "$work/build" --strip > "$work/install.log" ||
    { cat "$work/install.log"; die "install failed ($arch)"; }
  local programs
  mapfile -t programs < <(find "$stage/usr/bin" -type f -perm -u+x | sort)
  # Left by the install's strip: compiler version notes, of no use on the board.
  "$strip" --remove-section=.comment --remove-section=.note "${programs[@]}"
  [ -f "$stage/usr/share/man/man1/telltrail.1.gz" ] ||
    die "the manual page was not built (pandoc missing?)"

  # Owner root (dpkg-deb --root-owner-group), modes 0755/0644 whatever the
  # umask of the build.
  chmod -R u+rwX,go+rX,go-w "$stage"

  # Control area: dependencies of the programs, the control file, checksums,
  # the conffile list and the maintainer scripts.
  cp "$PKG/control" "$PKG/changelog" "$work/debian/"
  mkdir -p "$stage/DEBIAN"
  (cd "$work" && "${host_env[@]}" dpkg-shlibdeps -Tdebian/substvars "${shlibdeps_args[@]}" \
     "${programs[@]}")
  # Debian's cross libraries name the board's packages with the architecture
  # (libc6:armhf), or themselves (libgcc-s1-armhf-cross): on the board they
  # are libc6, libgcc-s1 ...
  sed -i -e "s/:$arch\\b//g" -e "s/-$arch-cross\\b//g" "$work/debian/substvars"
  (cd "$work" && "${host_env[@]}" dpkg-gencontrol -ptelltrail -Tdebian/substvars \
     -P"$stage" -fdebian/files)
  (cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
     xargs -0 md5sum) > "$stage/DEBIAN/md5sums"
  (cd "$stage" && find etc -type f -printf '/%p\n' | sort) > "$stage/DEBIAN/conffiles"
  local script
  for script in postinst prerm postrm; do
    install -m 0755 "$PKG/$script" "$stage/DEBIAN/$script"
  done
  chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums" "$stage/DEBIAN/conffiles"

  dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" > /dev/null
  echo "$deb: $(dpkg-deb -f "$deb" Depends)"
}

# build_web_package: build/package/telltrail-web_<version>_all.deb, the web
# page of web/ (no compiled code), its settings and the server snippets.
build_web_package() {
  local work=$OUT/web
  local stage=$work/debian/telltrail-web
  local deb=$OUT/telltrail-web_${VERSION}_all.deb
  local share=$stage/usr/share/telltrail-web
  local doc=$stage/usr/share/doc/telltrail-web
  say "telltrail-web $VERSION in ${work#"$ROOT"/}"
  rm -rf "$work" "$deb"
  mkdir -p "$work/debian" "$share/lib" "$doc" "$stage/etc/telltrail-web" "$stage/DEBIAN"
  install -m 0644 "$ROOT"/web/*.php "$ROOT"/web/*.js "$ROOT"/web/*.css "$ROOT"/web/*.svg "$share/"
  install -m 0644 "$ROOT"/web/lib/*.php "$share/lib/"
  install -m 0644 "$PKG/web/web.ini" "$stage/etc/telltrail-web/web.ini"
  install -m 0644 "$PKG/web/nginx.conf" "$PKG/web/apache.conf" "$PKG/web/telltrail-web.md" "$PKG/copyright" \
    "$PKG/web/README.md" "$ROOT/db/can_log.sql" "$ROOT/db/can_log_upgrade.sql" "$doc/"
  gzip -9n -c "$PKG/changelog" > "$doc/changelog.gz"
  chmod 0644 "$doc/changelog.gz"
  find "$stage" -type f -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
  cp "$PKG/control" "$PKG/changelog" "$work/debian/"
  echo "misc:Depends=" > "$work/debian/substvars"
  (cd "$work" && dpkg-gencontrol -ptelltrail-web -Tdebian/substvars -P"$stage" -fdebian/files)
  (cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
     xargs -0 md5sum) > "$stage/DEBIAN/md5sums"
  echo /etc/telltrail-web/web.ini > "$stage/DEBIAN/conffiles"
  chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums" "$stage/DEBIAN/conffiles"
  dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" > /dev/null
  echo "$deb: $(dpkg-deb -f "$deb" Depends)"
}

mkdir -p "$OUT"
for arch in "${ARCHES[@]}"; do
  build_package "$arch"
done
build_web_package
say "packages in ${OUT#"$ROOT"/}/"
ls -l "$OUT"/telltrail_"$VERSION"_*.deb "$OUT"/telltrail-web_"$VERSION"_all.deb
