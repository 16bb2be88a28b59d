#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libraries, the tools and the tests for a panel's processor and
# runs the tests under qemu-user: arm64 and armhf (the panels' ARM
# processors) or s390x (big-endian, with an unsigned char as on ARM).
#
#   scripts/cross-test.sh [--package] [--budget SECONDS] ARCH
#
# It installs what it lacks (the project's Debian packages through
# scripts/deps.sh, Debian's cross compiler, qemu-user-static), makes a
# sysroot of ARCH's packages the first time (downloaded with apt-get download
# from an apt state of its own, so the machine's apt configuration is left
# as it is, and unpacked with dpkg -x) and reuses it after, builds in
# build/cross-ARCH with cmake/TvkCrossToolchain.cmake, and runs the tests
# there. The tests labelled not-under-qemu (tvk_not_under_qemu) are left
# out and listed, each with the label that says why.
#
# --budget SECONDS (or CROSS_SECONDS) bounds the test run: the tests run in
# batches of 40, none starts once that many seconds have passed, and the
# tests never started are counted as not run (default 0: no bound).
# --package also builds the Debian packages of ARCH into build/cross-ARCH.
# The sysroot lives in CROSS_CACHE/ARCH (default .cache/cross, which git
# ignores); delete it to fetch the packages again.
# The last line counts the tests: "ARCH: N passed, N failed, N skipped".
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

budget=${CROSS_SECONDS:-0}
package=0
while [ $# -gt 0 ]; do
  case "$1" in
    --budget) budget=${2:-}; shift $(($# > 1 ? 2 : 1)) ;;
    --package) package=1; shift ;;
    -h | --help) sed -n '3,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "cross-test.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || { echo "usage: cross-test.sh [--package] [--budget SECONDS] arm64|armhf|s390x" >&2; exit 2; }
arch=$1
case "$arch" in
  arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64-static ;;
  armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm-static ;;
  s390x) triplet=s390x-linux-gnu qemu=qemu-s390x-static ;;
  *) echo "cross-test.sh: no such panel architecture: $arch (arm64, armhf, s390x)" >&2; exit 2 ;;
esac
case "$budget" in
  '' | *[!0-9]*) echo "cross-test.sh: the budget is a number of seconds, not '$budget'" >&2; exit 2 ;;
esac

# What the host needs: what the native build and the tests' peers need
# (cmake, pkg-config, dpkg-shlibdeps, python3 with pymodbus, mbpoll, socat),
# the cross compiler and qemu.
bash scripts/deps.sh "gcc-$triplet" "g++-$triplet" qemu-user-static

# The sysroot: what the project builds against (headers, libraries, CMake and
# pkg-config files) and the C and C++ runtime qemu loads the programs with.
# Foreign -dev packages cannot be installed beside the host's when the
# architectures' versions differ (one may lag a security update), so they are
# unpacked instead.
sysroot_packages=(
  libc6 libgcc-s1 libstdc++6
  libmodbus5 libmodbus-dev libssl3 libssl-dev libgtest-dev libgmock-dev
  rapidjson-dev libcli11-dev
)
cache=${CROSS_CACHE:-$top/.cache/cross}/$arch
sysroot=$cache/sysroot
# What it holds marks a sysroot as complete; a partial one (an interrupted
# run) or one made otherwise is made again.
stamp=$sysroot/.packages
# The database names each file by its absolute path, so a sysroot that was
# moved or copied is made again where it is now.
made="${sysroot_packages[*]} with their dpkg database in $sysroot"
if [ "$(cat "$stamp" 2>/dev/null)" != "$made" ]; then
  echo "== sysroot for $arch in $sysroot"
  rm -rf "$cache"
  mkdir -p "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial" "$cache/debs" "$sysroot"
  apt_options=(-q -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
    -o "Dir::State::Lists=$cache/apt/lists" -o "Dir::Cache=$cache/apt/cache"
    -o Dir::State::status=/dev/null -o APT::Sandbox::User=root)
  apt-get "${apt_options[@]}" update >/dev/null
  (cd "$cache/debs" && apt-get "${apt_options[@]}" download "${sysroot_packages[@]/%/:$arch}" >/dev/null)
  # A dpkg database of their own beside them, from which dpkg-shlibdeps
  # takes the Debian packages' dependencies (cmake/TvkPackage.cmake).
  db=$sysroot/var/lib/dpkg
  mkdir -p "$db/info" "$db/updates"
  echo 1 >"$db/info/format"   # info files named <package>:<arch>
  echo "$arch" >"$db/arch"
  control=$(mktemp -d)
  for deb in "$cache/debs"/*.deb; do
    dpkg -x "$deb" "$sysroot"
    name=$(dpkg-deb -f "$deb" Package)
    [ "$(dpkg-deb -f "$deb" Architecture)" = all ] || name=$name:$arch
    rm -rf "$control" && dpkg-deb -e "$deb" "$control"
    for f in shlibs symbols; do
      [ ! -f "$control/$f" ] || cp "$control/$f" "$db/info/$name.$f"
    done
    dpkg-deb -c "$deb" | awk '{ print $6 }' | sed -n "s|/\$||; s|^\./\(.\)|$sysroot/\1|p" >"$db/info/$name.list"
    { dpkg-deb -f "$deb" Package Version Architecture Multi-Arch Maintainer Description
      printf 'Status: install ok installed\n\n'; } >>"$db/status"
  done
  rm -rf "$control"
  rm -rf "$cache/apt"
  echo "$made" >"$stamp"
fi

build=$top/build/cross-$arch
jobs=$(nproc 2>/dev/null || echo 2)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# Optimised as Debian builds its packages, without the debug information
# that the stripped packages drop anyway and that would slow the build.
optimize="-O2 -DNDEBUG"
echo "== build for $arch in $build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/TvkCrossToolchain.cmake" \
  -DTVK_CROSS_ARCH="$arch" -DTVK_CROSS_SYSROOT="$sysroot" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$optimize" -DCMAKE_CXX_FLAGS_RELEASE="$optimize" -DTVK_WERROR=ON -DTVK_BUILD_TESTS=ON -DTVK_BUILD_BENCH=OFF \
  -DCMAKE_INSTALL_LIBDIR="lib/$triplet" "${launcher[@]}" >/dev/null
# Test discovery runs each test program under qemu as it is built.
nice -n 10 cmake --build "$build" -j"$jobs"
if [ "$package" -eq 1 ]; then
  echo "== Debian packages for $arch"
  rm -f "$build"/*.deb
  (cd "$build" && cpack -G DEB >/dev/null)
  for deb in "$build"/*.deb; do
    echo "${deb#"$top"/}"
    dpkg-deb -f "$deb" Architecture Depends | sed 's/^/  /'
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || { echo "cross-test.sh: $deb is not for $arch" >&2; exit 1; }
  done
  # dpkg-shlibdeps leaves out what it cannot place: a runtime package that
  # depends on no C library would install and then fail to start.
  runtime=("$build"/libtvk[0-9]*_"$arch".deb)
  dpkg-deb -f "${runtime[0]}" Depends | grep -q "libc6" \
    || { echo "cross-test.sh: ${runtime[0]#"$top"/} names no libc6: the sysroot's dpkg database did not serve" >&2; exit 1; }
fi

echo "== tests under $qemu"
log=$(mktemp)
trap 'rm -f "$log" "$log.out"' EXIT
# The tests go in batches, so that the budget ends the run between two
# tests instead of killing one midway: no batch starts once it is spent,
# and the tests left are counted as not run.
mapfile -t numbers < <(ctest --test-dir "$build" -N -LE not-under-qemu | sed -n 's/^ *Test *#\([0-9]*\):.*/\1/p')
batch=40
started=$SECONDS
done_tests=0
status=0
while [ "$done_tests" -lt ${#numbers[@]} ]; do
  if [ "$budget" -gt 0 ] && [ $((SECONDS - started)) -ge "$budget" ]; then
    echo "== the budget of $budget s is spent: $(( ${#numbers[@]} - done_tests )) tests not run"
    break
  fi
  list=$(IFS=,; echo "${numbers[*]:done_tests:batch}")
  nice -n 10 ctest --test-dir "$build" --output-on-failure -j"$jobs" -I "0,0,0,$list" 2>&1 | tee -a "$log" \
    || status=1
  done_tests=$((done_tests + batch))
done
[ "$done_tests" -le ${#numbers[@]} ] || done_tests=${#numbers[@]}
echo "== tests under $qemu took $((SECONDS - started)) s"

echo "== left out under qemu"
# Each test labelled not-under-qemu, with the label that says why.
ctest --test-dir "$build" --show-only=json-v1 | python3 -c '
import json, sys
for test in json.load(sys.stdin)["tests"]:
    labels = next((p["value"] for p in test.get("properties", []) if p["name"] == "LABELS"), [])
    if "not-under-qemu" in labels:
        print("  %s (%s)" % (test["name"], ", ".join(l for l in labels if l != "not-under-qemu")))
' | tee "$log.out"
excluded=$(wc -l <"$log.out")
all=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p')
read -r ran failed < <(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2 \1/p' "$log" \
  | awk '{ all += $1; failed += $2 } END { print all + 0, failed + 0 }')
skipped=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*[*]{3}Skipped' "$log" || true)
echo "$arch under qemu: ran $ran of $all tests, left out $excluded (not-under-qemu), $(( ${#numbers[@]} - done_tests )) not run within the budget"
echo "${arch}: $((ran - failed - skipped)) passed, $failed failed, $skipped skipped"
exit "$status"
