#!/usr/bin/env bash
# Takes the SDK in as an application does, from a built tree (default build/release):
#   install into a temporary prefix; build examples/ out of tree through the CMake package and
#   through pkg-config and run minimal_capture from each; build the Debian package with CPack and
#   check its contents. Prints one "PASS name" or "FAIL name" line per check; exits non-zero
#   when a check failed.
#   package-check.sh [BUILD_DIR] [install|deb|all]
set -uo pipefail
cd "$(dirname "$0")/.."
SRC=$(pwd)
BUILD=$(cd "${1:-build/release}" && pwd) || exit 1
WHAT=${2:-all}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kx-package-check.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
fails=0
check() {  # check NAME COMMAND...: runs the command, its output into the log
  local name=$1; shift
  if "$@" >>"$WORK/log" 2>&1; then echo "PASS $name"; else echo "FAIL $name"; fails=$((fails + 1)); tail -n 30 "$WORK/log"; fi
  : >"$WORK/log"
}

if [ "$WHAT" = all ] || [ "$WHAT" = install ]; then
  PREFIX=$WORK/prefix
  check install cmake --install "$BUILD" --prefix "$PREFIX"
  LIBDIR=$(dirname "$(find "$PREFIX" -name 'libKxLaserEyeDevice.so' | head -n 1)")
  # Installed tools run from the prefix alone (relative run path), nothing of the build tree.
  check installed-kxeye-runs env -u LD_LIBRARY_PATH "$PREFIX/bin/kxeye" --source local list
  check no-testsupport-headers bash -c "! ls '$PREFIX'/include/kxlasereye/*_testsupport.h"
  check examples-cmake-package bash -c "
    cmake -S '$SRC/examples' -B '$WORK/ex-cmake' -G Ninja -DCMAKE_PREFIX_PATH='$PREFIX' &&
    cmake --build '$WORK/ex-cmake' && '$WORK/ex-cmake/minimal_capture'"
  check examples-pkg-config bash -c "
    PKG_CONFIG_PATH='$LIBDIR/pkgconfig' cmake -S '$SRC/examples' -B '$WORK/ex-pc' -G Ninja \
      -DKX_EXAMPLES_PKGCONFIG=ON -DCMAKE_EXE_LINKER_FLAGS='-Wl,-rpath,$LIBDIR' &&
    cmake --build '$WORK/ex-pc' && '$WORK/ex-pc/minimal_capture'"
  if ls "$BUILD"/python/kxlasereye*.so >/dev/null 2>&1; then
    # Debian's interpreter: the python3 on PATH may be another installation without NumPy.
    check installed-python-module bash -c "
      m=\$(find '$PREFIX' -name 'kxlasereye*.so' | head -n 1); test -n \"\$m\" && cd '$WORK' &&
      env -u LD_LIBRARY_PATH PYTHONPATH=\$(dirname \"\$m\") /usr/bin/python3 -c \
        'import kxlasereye as kx; assert kx.list_devices(kx.SEARCH_LOCAL)'"
  fi
  # The examples must come from the install, never from the build tree.
  check examples-use-install bash -c "
    ldd '$WORK/ex-cmake/minimal_capture' | grep -q '$LIBDIR/libKxLaserEyeDevice.so.0' &&
    ldd '$WORK/ex-pc/minimal_capture' | grep -q '$LIBDIR/libKxLaserEyeDevice.so.0'"
fi

if [ "$WHAT" = all ] || [ "$WHAT" = deb ]; then
  check deb-build bash -c "cd '$BUILD' && cpack -G DEB -B '$WORK/deb'"
  DEB=$(ls "$WORK"/deb/*.deb 2>/dev/null | head -n 1)
  if [ -n "$DEB" ]; then
    dpkg-deb -x "$DEB" "$WORK/root"
    LIB=$(find "$WORK/root" -name 'libKxLaserEyeDevice.so.0' | head -n 1)
    # The export table holds exactly the SDK's four C entry points (those the sources define
    # while some are still being written), and nothing else.
    want=""
    for f in KxConfigLaserEyeLogLevel KxCreateLaserEyeDevice KxCreateLaserEyeDeviceEnumrator KxCreateLaserEyeEthernetEyeConfig; do
      if grep -rqE "\b$f\s*\(" "$SRC"/device/kxlasereyedevice/src/*.cpp; then want="$want$f "; fi
    done
    check deb-four-exports bash -c "
      test -n '$LIB' && got=\$(nm -D --defined-only '$LIB' | awk '{print \$3}' |
        grep -vxE '_init|_fini|_edata|_end|__bss_start' | sort | tr '\n' ' ') &&
      echo \"exports: \$got\" && test \"\$got\" = '$want'"
    check deb-libraries bash -c "
      for l in KxLaserEyeDevice OrEyeApi KxKernel; do
        test -n \"\$(find '$WORK/root' -name lib\$l.so.0.1.0)\" && test -L \"\$(find '$WORK/root' -name lib\$l.so.0)\" || exit 1
      done"
    check deb-headers bash -c "
      for h in kxlasereyedevice.h kxlasereyerecords.h kxkernel.h kxkernelinterfaces.h kxunknown.h; do
        test -f '$WORK/root/usr/include/kxlasereye/'\$h || exit 1
      done; ! ls '$WORK'/root/usr/include/kxlasereye/*_testsupport.h"
    check deb-tools bash -c "
      test -x '$WORK/root/usr/bin/kxeye' && env -u LD_LIBRARY_PATH '$WORK/root/usr/bin/kxeye' --source local list &&
      { ! test -x '$BUILD/tools/kxeye-emulator/kxeye-emulator' || test -x '$WORK/root/usr/bin/kxeye-emulator'; }"
    check deb-cmake-and-pkg-config bash -c "
      test -n \"\$(find '$WORK/root' -name KxLaserEyeConfig.cmake)\" && test -n \"\$(find '$WORK/root' -name kxlasereye.pc)\""
    # Run-time dependencies come from dpkg-shlibdeps: the C and C++ runtimes at least.
    check deb-depends bash -c "
      d=\$(dpkg-deb -f '$DEB' Depends); echo \"Depends: \$d\"; grep -q libc6 <<<\"\$d\" && grep -q libstdc++6 <<<\"\$d\""
    if ls "$BUILD"/python/kxlasereye*.so >/dev/null 2>&1; then
      check deb-python-module bash -c "
        m=\$(find '$WORK/root' -name 'kxlasereye*.so' | head -n 1); test -n \"\$m\" &&
        PYTHONPATH=\$(dirname \"\$m\") /usr/bin/python3 -c 'import kxlasereye; print(kxlasereye.__version__)'"
    fi
  else
    echo "FAIL deb-found"; fails=$((fails + 1))
  fi
fi
exit $((fails > 0))
