#!/usr/bin/env bash
# Checks the Windows build's binaries on their PE tables (MinGW's objdump):
#  - KxLaserEyeDevice.dll exports exactly the four C entry points;
#  - every DLL and program imports only Windows system DLLs and the SDK's own DLLs, so that the
#    compiler's runtime (libgcc, libstdc++, winpthread) and zlib are linked in, not needed beside.
# Usage: scripts/check-windows-binaries.sh [BIN_DIR]   (default build/windows/bin)
set -euo pipefail
BIN=${1:-build/windows/bin}
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
# Windows system DLLs the SDK may need, lower case; and the SDK's own.
ALLOWED="kernel32.dll msvcrt.dll advapi32.dll iphlpapi.dll ws2_32.dll user32.dll shell32.dll ole32.dll
         bcrypt.dll ntdll.dll kxkernel.dll oreyeapi.dll kxlasereyedevice.dll"
EXPORTS="KxConfigLaserEyeLogLevel KxCreateLaserEyeDevice KxCreateLaserEyeDeviceEnumrator KxCreateLaserEyeEthernetEyeConfig"
fail=0

exports_of() { "$OBJDUMP" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && NR>1 {print $NF}'; }
imports_of() { "$OBJDUMP" -p "$1" | awk '/DLL Name:/ {print tolower($3)}'; }

dll="$BIN/KxLaserEyeDevice.dll"
if [ ! -f "$dll" ]; then
  echo "check-windows: $dll missing"; exit 1
fi
got=$(exports_of "$dll" | sort | tr '\n' ' ' | sed 's/ $//')
want=$(echo $EXPORTS | tr ' ' '\n' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$got" != "$want" ]; then
  echo "check-windows: KxLaserEyeDevice.dll exports [$got], want [$want]"; fail=1
else
  echo "check-windows: KxLaserEyeDevice.dll exports the four entry points only"
fi

for need in KxKernel.dll OrEyeApi.dll kxeye.exe kxeye-emulator.exe; do
  [ -f "$BIN/$need" ] || { echo "check-windows: $BIN/$need missing"; fail=1; }
done

n=0
for f in "$BIN"/*.dll "$BIN"/*.exe; do
  [ -f "$f" ] || continue
  n=$((n + 1))
  for imp in $(imports_of "$f"); do
    case " $(echo $ALLOWED) " in
      *" $imp "*) ;;
      *) echo "check-windows: $(basename "$f") imports $imp (not a Windows system DLL)"; fail=1 ;;
    esac
  done
done
echo "check-windows: import tables of $n binaries checked"
exit $fail
