#!/usr/bin/env bash
# The Windows stage of the test command: cross-builds the windows preset (only what the stage
# needs), checks the export and import tables, and runs the unit and integration test programs
# under Wine, headless, in a private prefix under build/windows. Results are counted from the
# GoogleTest XML reports, not from Wine's exit codes; a program without a report counts as one
# failure. Prints "windows: N passed, F failed, S skipped" last.
#
# Network: the programs run here read the host's tables through Wine (which uses this host's
# network stack) and send nothing but an ICMP echo to 127.0.0.1; no search, no packet leaves
# loopback.
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${KX_JOBS:-2}
BUILD=build/windows
XML=$BUILD/test-xml
WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX="$PWD/$BUILD/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installer prompts, no debugger window on a crash.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT

report() { echo "windows: $1 passed, $2 failed, ${3:-0} skipped"; }

echo "== windows: configure and build"
if ! cmake --preset windows >/dev/null ||
   ! cmake --build --preset windows -j "$JOBS" --target KxLaserEyeDevice OrEyeApi KxKernel kxeye kxeye-emulator windows_tests; then
  echo "== windows: build failed"; report 0 1; exit 1
fi

echo "== windows: export and import tables"
tables_ok=1
bash scripts/check-windows-binaries.sh "$BUILD/bin" || tables_ok=0

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== windows: creating the Wine prefix (once)"
  timeout 300 "$WINE" wineboot -i >/dev/null 2>&1
fi

echo "== windows: tests under Wine"
rm -rf "$XML"
mkdir -p "$XML"
ctest --preset windows -j "$JOBS" --timeout 300 2>&1 | tee "$BUILD/ctest.log"

# GoogleTest programs (listed by CMake in gtest-programs.txt) are counted per test case from
# their XML reports; a program without a report is one failure. Other tests (the examples run
# as an application would) count by their CTest result.
programs=$(ctest --preset windows -N 2>/dev/null | sed -nE 's/^ *Test +#[0-9]+: +([A-Za-z0-9_]+).*/\1/p')
read -r p f s < <(python3 - "$XML" "$BUILD/gtest-programs.txt" "$BUILD/ctest.log" $programs <<'PY'
import os, re, sys
import xml.etree.ElementTree as ET
xml_dir, list_path, log_path, tests = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
with open(list_path) as fh:
    gtest_programs = {line.strip() for line in fh if line.strip()}
with open(log_path, errors="replace") as fh:
    outcome = dict(re.findall(r"Test +#\d+: (\S+) \.+\s*(\S+)", fh.read()))
passed = failed = skipped = 0
for name in tests:
    if name not in gtest_programs:
        if outcome.get(name) == "Passed":
            passed += 1
        else:
            failed += 1
            print(f"windows: {name}: {outcome.get(name, 'not run')}", file=sys.stderr)
        continue
    path = os.path.join(xml_dir, name + ".xml")
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        print(f"windows: {name}: no test report (crashed or did not start)", file=sys.stderr)
        failed += 1
        continue
    for case in root.iter("testcase"):
        if case.get("status") == "notrun":
            continue
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
            print(f"windows: {name}: {case.get('classname')}.{case.get('name')} failed", file=sys.stderr)
        elif case.get("result") == "skipped" or case.find("skipped") is not None:
            skipped += 1
        else:
            passed += 1
print(passed, failed, skipped)
PY
)
[ "$tables_ok" -eq 1 ] && p=$((p + 1)) || f=$((f + 1))
report "$p" "$f" "$s"
[ "$f" -eq 0 ]
