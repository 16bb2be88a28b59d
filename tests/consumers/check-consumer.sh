#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Uses the libraries from outside the project, as a host's build does.
#
#   check-consumer.sh MODE SOURCE BUILD STAGE LIBDIR WORK CXX
#
# MODE is one of
#   install      installs BUILD into the staging prefix STAGE (libraries under
#                STAGE/LIBDIR) and checks what landed there;
#   find-package builds the consumer with find_package(tvk) from STAGE, runs it;
#   pkg-config   compiles every installed header on its own, the README's
#                example, and the consumer from pkg-config's flags alone,
#                runs it;
#   subproject   configures a host that adds SOURCE with add_subdirectory and
#                checks that the project's tests, benchmarks and warning
#                policy stay out of it;
#   framework    builds SOURCE against a framework it does not build itself
#                (TVK_FRAMEWORK: the staged libtvk_base, as an imported
#                target from its own prefix), installs it, and builds and
#                runs the consumer on that installation;
#   deb          builds BUILD's Debian packages into WORK/deb, unpacks them
#                all into STAGE as a root tree, checks what each holds and
#                what it depends on, builds and runs the consumer against
#                STAGE/usr, and runs an unpacked tool.
# The consumer reads the example script and registers of the tests' pymodbus
# slave (Debian's python3). WORK holds the consumers' builds. The deb mode
# packages with $CPACK (default: the cpack on PATH).
set -euo pipefail
[ $# -eq 7 ] || { echo "usage: $0 MODE SOURCE BUILD STAGE LIBDIR WORK CXX" >&2; exit 2; }
mode=$1 source=$2 build=$3 stage=$4 libdir=$5 work=$6 cxx=$7
here="$source/tests/consumers"
lib="$stage/$libdir"
faults=0

fault() {
  echo "FAULT: $*" >&2
  faults=$((faults + 1))
}

finish() {
  if [ "$faults" -gt 0 ]; then
    echo "$mode: $faults fault(s)" >&2
    exit 1
  fi
  echo "$mode: ok"
}

peer=""
peer_out=""
cleanup() {
  if [ -n "$peer" ]; then
    kill "$peer" 2>/dev/null || true
    wait "$peer" 2>/dev/null || true
  fi
  [ -z "$peer_out" ] || rm -f "$peer_out"
}
trap cleanup EXIT

# Runs a consumer program against a fresh pymodbus slave and checks its lines.
run_consumer() {
  local program=$1 libpath=${2:-$lib} port="" output
  peer_out=$(mktemp)
  /usr/bin/python3 "$source/tests/peers/pymodbus_server.py" 0 >"$peer_out" 2>&1 &
  peer=$!
  for _ in $(seq 1 200); do   # 20 s at most
    port=$(head -n1 "$peer_out" | grep -E '^[0-9]+$' || true)
    [ -n "$port" ] && break
    kill -0 "$peer" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    fault "the pymodbus slave did not start (scripts/check-peers.sh tells why)"
    return
  fi
  # The installed libraries carry no path to one another: the loader is told.
  if ! output=$(LD_LIBRARY_PATH="$libpath" timeout 60 "$program" "$source/examples/plc-script.json" "$port" 2>&1); then
    fault "$program failed: $output"
  fi
  echo "$output"
  local line
  for line in "script: valid," "holding registers 0-3: 1000 1001 1002 1003" \
              "PanelPlc: register 1 is 1001, a CtvkModbusClient"; do
    grep -qF -e "$line" <<<"$output" || fault "$program did not print: $line"
  done
}

case "$mode" in
install)
  rm -rf "$stage"
  cmake --install "$build" --prefix "$stage" >"$work/install.log" || { cat "$work/install.log"; exit 1; }
  for f in libtvk_base.so libtvk_fieldlink.so libtvk_plcconfig.so \
           pkgconfig/tvk_base.pc pkgconfig/tvk_fieldlink.pc pkgconfig/tvk_plcconfig.pc \
           cmake/tvk/tvkConfig.cmake cmake/tvk/tvkConfigVersion.cmake; do
    [ -e "$lib/$f" ] || fault "$lib/$f is not installed"
  done
  # A host derives its devices from these: the constructors take them.
  for h in tvkobject_p.h tvkmodbusdevice_p.h tvkmodbusclient_p.h tvkmodbustcpclient_p.h; do
    [ -e "$stage/include/tvk/$h" ] || fault "$h is not installed"
  done
  # Internals no host may build on, so they can change in any release.
  for h in tvkepolldispatcher_p.h tvkpostedevents_p.h tvkthread_p.h tvkparseplccommon_p.h; do
    [ ! -e "$stage/include/tvk/$h" ] || fault "the internal header $h is installed"
  done
  # Our warning flags and -Werror are this project's policy, not its users'.
  if leaks=$(grep -rlE -e 'tvk_warnings|-Werror' "$lib/cmake/tvk"); then
    fault "the exported package carries the project's warning policy: $leaks"
  fi
  finish
  ;;

find-package)
  rm -rf "$work/findpackage"
  cmake -S "$here/findpackage" -B "$work/findpackage" -DCMAKE_PREFIX_PATH="$stage" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        >"$work/findpackage.log" 2>&1 || { cat "$work/findpackage.log"; exit 1; }
  found=$(sed -n 's/^tvk_DIR:PATH=//p' "$work/findpackage/CMakeCache.txt")
  [ "$found" = "$lib/cmake/tvk" ] || fault "find_package(tvk) found '$found', not $lib/cmake/tvk"
  if grep -qE -e '-Werror|-Wshadow' "$work/findpackage/compile_commands.json"; then
    fault "the project's warning flags reach the consumer's compile lines"
  fi
  cmake --build "$work/findpackage" >>"$work/findpackage.log" 2>&1 || { cat "$work/findpackage.log"; exit 1; }
  run_consumer "$work/findpackage/consumer"
  finish
  ;;

pkg-config)
  export PKG_CONFIG_PATH="$lib/pkgconfig"
  names=$(cd "$lib/pkgconfig" && ls tvk_*.pc | sed 's/\.pc$//')
  for name in $names; do
    pkg-config --exists --print-errors "$name" || { fault "pkg-config cannot use $name"; continue; }
    dir=$(pkg-config --variable=includedir "$name")
    [ "$(realpath -m "$dir")" = "$(realpath -m "$stage/include/tvk")" ] \
      || fault "$name.pc: includedir $dir is not $stage/include/tvk"
    dir=$(pkg-config --variable=libdir "$name")
    [ "$(realpath -m "$dir")" = "$(realpath -m "$lib")" ] || fault "$name.pc: libdir $dir is not $lib"
  done
  # shellcheck disable=SC2086
  cflags=$(pkg-config --cflags $names)
  for header in "$stage"/include/tvk/*; do
    # shellcheck disable=SC2086
    printf '#include "%s"\n' "$(basename "$header")" \
      | "$cxx" -std=c++17 -fsyntax-only -x c++ $cflags - 2>"$work/header.log" \
      || fault "$(basename "$header") does not compile on its own: $(head -n3 "$work/header.log")"
  done
  # The README's example, as a reader would paste it.
  awk '/^```cpp$/ { on = 1; next } /^```$/ { if (on) exit } on' "$source/README.md" >"$work/readme-example.cpp"
  # shellcheck disable=SC2086
  [ -s "$work/readme-example.cpp" ] \
    && "$cxx" -std=c++17 -Wall -Wextra -Werror -fsyntax-only $cflags "$work/readme-example.cpp" \
    || fault "the README's example does not compile against the installed headers"
  # shellcheck disable=SC2046
  if "$cxx" -std=c++17 -o "$work/consumer-pc" "$here/consumer.cpp" "$here/devicesubclass.cpp" \
       $(pkg-config --cflags --libs tvk_fieldlink tvk_plcconfig); then
    run_consumer "$work/consumer-pc"
  else
    fault "the consumer does not build from pkg-config's flags"
  fi
  finish
  ;;

subproject)
  rm -rf "$work/subproject"
  cmake -S "$here/subproject" -B "$work/subproject" -DTVK_SOURCE_DIR="$source" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        >"$work/subproject.log" 2>&1 || { cat "$work/subproject.log"; exit 1; }
  for option in TVK_BUILD_TESTS TVK_BUILD_BENCH TVK_WERROR; do
    value=$(sed -n "s/^$option:BOOL=//p" "$work/subproject/CMakeCache.txt")
    [ "$value" = OFF ] || fault "$option is '$value' in a host's build, not OFF"
  done
  if grep -qF -e '-Werror' "$work/subproject/compile_commands.json"; then
    fault "-Werror is on in a host's build"
  fi
  targets=$(cmake --build "$work/subproject" --target help)
  if grep -qE 'tst_|bench_' <<<"$targets"; then
    fault "the project's tests or benchmarks are built in a host's build"
  fi
  finish
  ;;

framework)
  # A framework prefix of its own: the stand-in's library and every header
  # but those of the libraries built here.
  fw="$work/framework-prefix"
  rm -rf "$fw" "$work/framework" "$work/framework-stage" "$work/framework-consumer"
  mkdir -p "$fw/lib" "$fw/include"
  cp -a "$lib"/libtvk_base.so* "$fw/lib/"
  for header in "$stage"/include/tvk/*; do
    case "$(basename "$header")" in
      tvkmodbus*|tvkfieldlink_global.h|tvkparseplc*|tvkplcconfig_global.h) ;;
      *) cp "$header" "$fw/include/" ;;
    esac
  done
  cat >"$work/framework.cmake" <<EOF
if(NOT TARGET tvk::base)
  find_package(Threads REQUIRED)
  add_library(tvk::base SHARED IMPORTED)
  set_target_properties(tvk::base PROPERTIES
    IMPORTED_LOCATION "$fw/lib/libtvk_base.so"
    INTERFACE_INCLUDE_DIRECTORIES "$fw/include"
    INTERFACE_LINK_LIBRARIES Threads::Threads)
endif()
EOF
  cmake -S "$source" -B "$work/framework" -DTVK_FRAMEWORK="$work/framework.cmake" \
        -DTVK_BUILD_TESTS=OFF -DTVK_BUILD_BENCH=OFF -DTVK_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_LIBDIR="$libdir" -DCMAKE_CXX_COMPILER="$cxx" \
        >"$work/framework.log" 2>&1 || { cat "$work/framework.log"; exit 1; }
  targets=$(cmake --build "$work/framework" --target help)
  if grep -qE '\btvk_base\b' <<<"$targets"; then
    fault "the stand-in framework is built although TVK_FRAMEWORK gives tvk::base"
  fi
  # Everything the install takes: the libraries, the stand-ins the framework
  # does not give, the tools and the demo.
  cmake --build "$work/framework" -j2 >>"$work/framework.log" 2>&1 || { tail -n 30 "$work/framework.log"; exit 1; }
  cmake --install "$work/framework" --prefix "$work/framework-stage" >>"$work/framework.log"
  fwlib="$work/framework-stage/$libdir"
  [ ! -e "$fwlib/libtvk_base.so" ] || fault "the stand-in framework is installed with the libraries"
  needed=$(readelf -d "$fwlib/libtvk_fieldlink.so")
  grep -q 'NEEDED.*libtvk_base\.so\.0' <<<"$needed" \
    || fault "libtvk_fieldlink does not load the framework's libtvk_base"
  grep -q 'Requires: tvk_base libmodbus' "$fwlib/pkgconfig/tvk_fieldlink.pc" \
    || fault "tvk_fieldlink.pc does not require the framework's tvk_base"
  cmake -S "$here/findpackage" -B "$work/framework-consumer" -DCMAKE_PREFIX_PATH="$work/framework-stage" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release >>"$work/framework.log" 2>&1 \
    && cmake --build "$work/framework-consumer" >>"$work/framework.log" 2>&1 \
    || { tail -n 30 "$work/framework.log"; exit 1; }
  run_consumer "$work/framework-consumer/consumer" "$fwlib:$fw/lib"
  finish
  ;;

deb)
  debs="$work/deb"
  rm -rf "$debs" "$stage" "$work/deb-consumer"
  mkdir -p "$debs" "$stage"
  "${CPACK:-cpack}" --config "$build/CPackConfig.cmake" -B "$debs" >"$work/deb.log" 2>&1 \
    || { cat "$work/deb.log"; exit 1; }
  version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/tvkConfigVersion.cmake")
  arch=$(dpkg --print-architecture)
  runtime=libtvk${version%%.*}
  lib="$stage/usr/$libdir"
  declare -A depends
  for package in "$runtime" libtvk-dev tvk-tools; do
    deb="$debs/${package}_${version}_$arch.deb"
    if [ ! -f "$deb" ]; then
      fault "no package $(basename "$deb") among: $(cd "$debs" && ls -- *.deb 2>/dev/null | tr '\n' ' ')"
      continue
    fi
    dpkg-deb -x "$deb" "$stage"
    # Whatever prefix the build was configured with, a package installs to /usr.
    if strays=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -vE '^\./(usr/.*)?$'); then
      fault "$package installs outside /usr: $strays"
    fi
    [ -f "$stage/usr/share/doc/$package/copyright" ] || fault "$package carries no copyright file"
    info=$(dpkg-deb -I "$deb")
    grep -qx " Architecture: $arch" <<<"$info" || fault "$package is not for $arch"
    depends[$package]=$(sed -n 's/^ Depends: //p' <<<"$info")
  done
  # The split: the runtime package can stand beside a later one, so it holds
  # the versioned libraries and nothing a build needs.
  contents=$(dpkg-deb -c "$debs/${runtime}_${version}_$arch.deb" 2>/dev/null || true)
  grep -q "/usr/$libdir/libtvk_fieldlink\.so\.0 " <<<"$contents" || fault "$runtime lacks libtvk_fieldlink.so.0"
  if grep -qE '/include/|\.so -> |/cmake/|/pkgconfig/' <<<"$contents"; then
    fault "$runtime carries development files"
  fi
  for f in "$libdir/libtvk_fieldlink.so" "$libdir/libtvk_boundedit.so.0" "include/tvk/tvkmodbustcpclient.h" \
           "$libdir/cmake/tvk/tvkConfig.cmake" "$libdir/pkgconfig/tvk_fieldlink.pc" \
           bin/tvk-modbus-slave bin/tvk-modbus-poll bin/tvk-modbus-gateway bin/tvk-plccheck \
           share/man/man1/tvk-modbus-slave.1 share/man/man1/tvk-modbus-poll.1 share/man/man1/tvk-modbus-gateway.1 \
           share/man/man1/tvk-plccheck.1; do
    [ -e "$stage/usr/$f" ] || fault "/usr/$f is in no package"
  done
  # Ours with the exact version; the system's as dpkg-shlibdeps found them.
  for need in "$runtime:libc6" "$runtime:libmodbus5" "libtvk-dev:$runtime (= $version)" \
              "libtvk-dev:libmodbus-dev" "libtvk-dev:rapidjson-dev" "libtvk-dev:pkg-config" \
              "tvk-tools:$runtime (= $version)" "tvk-tools:libstdc++6"; do
    package=${need%%:*} dependency=${need#*:}
    grep -qF -e "$dependency" <<<"${depends[$package]:-}" \
      || fault "$package does not depend on $dependency: ${depends[$package]:-}"
  done
  shlibs=$(dpkg-deb -I "$debs/${runtime}_${version}_$arch.deb" shlibs 2>/dev/null || true)
  grep -qx "libtvk_fieldlink ${version%%.*} $runtime (= $version)" <<<"$shlibs" \
    || fault "$runtime's shlibs file does not name libtvk_fieldlink: $shlibs"

  # A host's build against the unpacked tree, as against an installed one.
  cmake -S "$here/findpackage" -B "$work/deb-consumer" -DCMAKE_PREFIX_PATH="$stage/usr" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release >"$work/deb-consumer.log" 2>&1 \
    && cmake --build "$work/deb-consumer" >>"$work/deb-consumer.log" 2>&1 \
    || { cat "$work/deb-consumer.log"; exit 1; }
  found=$(sed -n 's/^tvk_DIR:PATH=//p' "$work/deb-consumer/CMakeCache.txt")
  [ "$found" = "$lib/cmake/tvk" ] || fault "find_package(tvk) found '$found', not $lib/cmake/tvk"
  run_consumer "$work/deb-consumer/consumer"
  dir=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --variable=libdir tvk_fieldlink)
  [ "$(realpath -m "$dir")" = "$(realpath -m "$lib")" ] || fault "tvk_fieldlink.pc in the package: libdir $dir is not $lib"
  # The tools find the libraries beside them, wherever the tree is unpacked.
  if ! output=$(env -u LD_LIBRARY_PATH "$stage/usr/bin/tvk-modbus-poll" --version 2>&1) \
     || ! grep -qF "$version" <<<"$output"; then
    fault "the unpacked tvk-modbus-poll does not answer --version with $version: $output"
  fi
  finish
  ;;

*)
  echo "$0: unknown mode $mode" >&2
  exit 2
  ;;
esac
