#!/usr/bin/env bash
# The Windows build under Wine: cross-builds tarvex.exe with mingw-w64 and
# runs it against the Linux virtual set-top box (tarvex-stb), whose
# pseudo-terminal Wine sees as COM1. Every end-to-end case runs the Linux
# tarvex first, as the reference: a case whose Linux run does not give the
# expected result yet is skipped; otherwise tarvex.exe must give the same
# output (with Windows line ends) and the same exit status.
#
#   bash tests/windows/run.sh [LINUX_BUILD]
#
# LINUX_BUILD: a Linux build folder that provides tarvex-pack (for the cross
# build), tarvex-stb and the Linux tarvex; configured and built when needed
# (default: build-winhost). The cross build goes to $TARVEX_WIN_BUILD
# (default: build-win). Installs nothing: without mingw-w64 or Wine it says
# so and exits 0. Ends with the line "windows: N passed, M failed".
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
started=$(date +%s)

say() { echo "windows: $*"; }
skip_all() {
  say "skipped: $*"
  exit 0
}

# --- tools ------------------------------------------------------------------
cxx=""
for c in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
  if command -v "$c" >/dev/null; then cxx=$(command -v "$c"); break; fi
done
[[ -n $cxx ]] || skip_all "no mingw-w64 C++ cross compiler (Debian package g++-mingw-w64-x86-64-posix)"
objdump=$(command -v x86_64-w64-mingw32-objdump || true)

wine=""
for w in wine wine64 /usr/lib/wine/wine64; do
  if command -v "$w" >/dev/null; then wine=$(command -v "$w"); break; fi
done
[[ -n $wine ]] || skip_all "no Wine (Debian package wine64)"
wineserver=""
for w in wineserver wineserver64 /usr/lib/wine/wineserver64; do
  if command -v "$w" >/dev/null; then wineserver=$(command -v "$w"); break; fi
done
[[ -n $wineserver ]] || skip_all "Wine has no wineserver (Debian package wine64)"
[[ $wine == */wine64 ]] && export WINELOADER=$wine
for t in cmake ninja timeout cmp; do
  command -v "$t" >/dev/null || skip_all "$t is missing"
done

# Port mappings from the caller's environment must not reach any case: the
# only ones are those that tarvex-stb sets for its line.
while read -r var; do unset "$var"; done < <(env | sed -n 's/^\(TARVEX_COM[0-9]*\)=.*/\1/p')

linux_build=$(realpath -m "${1:-$src/build-winhost}")
win_build=$(realpath -m "${TARVEX_WIN_BUILD:-$src/build-win}")

passed=0
failed=0
skipped=0
pass() {
  passed=$((passed + 1))
  echo "  ok    $1"
}
fail() {
  failed=$((failed + 1))
  echo "  FAIL  $1: $2"
}
skip() {
  skipped=$((skipped + 1))
  echo "  skip  $1: $2"
}
finish() {
  say "took $(($(date +%s) - started)) s, $skipped skipped"
  echo "windows: $passed passed, $failed failed"
  [[ $failed -eq 0 ]]
  exit
}

# --- builds -----------------------------------------------------------------
work=$(mktemp -d /tmp/tarvex-wine.XXXXXX)
chmod 755 "$work"
cleanup() {
  [[ -n ${stb_pid:-} ]] && kill -INT "$stb_pid" 2>/dev/null
  [[ -n ${holder_pid:-} ]] && kill -INT "$holder_pid" 2>/dev/null
  if [[ -d $work/prefix ]]; then WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null; fi
  if [[ -d $work/nobody/prefix ]]; then as_nobody "$wineserver" -k 2>/dev/null; fi
  if [[ -n ${TARVEX_WINE_KEEP:-} ]]; then echo "windows: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say "Linux build in $linux_build"
if [[ ! -f $linux_build/CMakeCache.txt ]] &&
   ! cmake -S "$src" -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$work/linux-build.log" 2>&1; then
  tail -n 20 "$work/linux-build.log"
  fail "Linux build" "configure failed"
  finish
fi
if ! cmake --build "$linux_build" --target tarvex tarvex-pack >>"$work/linux-build.log" 2>&1; then
  tail -n 20 "$work/linux-build.log"
  fail "Linux build" "tarvex or tarvex-pack did not build"
  finish
fi
lin_tarvex=$linux_build/tarvex
stb=""
if cmake --build "$linux_build" --target tarvex-stb >>"$work/linux-build.log" 2>&1 &&
   [[ -x $linux_build/tarvex-stb ]]; then
  stb=$linux_build/tarvex-stb
fi

say "cross build in $win_build"
if ! cmake -S "$src" -B "$win_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
       -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
       -DTARVEX_PACKER="$linux_build/tarvex-pack" >"$work/win-build.log" 2>&1 ||
   ! cmake --build "$win_build" --target tarvex >>"$work/win-build.log" 2>&1; then
  tail -n 30 "$work/win-build.log"
  fail "cross build" "tarvex.exe did not build"
  finish
fi
if grep -q "warning:" "$work/win-build.log"; then
  grep "warning:" "$work/win-build.log" | head -n 10
  fail "cross build" "the compiler warned"
else
  pass "cross build of tarvex.exe, no warnings"
fi
probe_src=("$here/serial_probe.cpp" "$src/serial/serial_port_win32.cpp" "$src/serial/wire_trace.cpp"
  "$src/serial/serial_port_trace.cpp" "$src/serial/open_help.cpp" "$src/serial/open_help_win32.cpp" "$src/platform/platform_win32.cpp")
if "$cxx" -std=c++20 -O2 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion \
     -I"$src" "${probe_src[@]}" -static -lwinmm -o "$win_build/serial-probe.exe" >"$work/probe-build.log" 2>&1 &&
   ! grep -q "warning:" "$work/probe-build.log"; then
  pass "cross build of serial-probe.exe, no warnings"
else
  head -n 20 "$work/probe-build.log"
  fail "cross build" "serial-probe.exe"
fi
mkdir -p "$work/bin"
cp "$win_build/tarvex.exe" "$work/bin/tarvex.exe"
[[ -f $win_build/serial-probe.exe ]] && cp "$win_build/serial-probe.exe" "$work/bin/serial-probe.exe"
chmod -R a+rX "$work/bin"
exe=$work/bin/tarvex.exe
probe=$work/bin/serial-probe.exe

# A .exe that runs from any folder: only the system's own DLLs.
if [[ -n $objdump ]]; then
  dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
  foreign=$(echo "$dlls" | tr ' ' '\n' | grep -v -E '^(kernel32|msvcrt|ucrtbase|winmm|user32|advapi32|api-ms-win-.*)\.dll$' | grep . || true)
  if [[ -z $foreign ]]; then pass "tarvex.exe is static (imports: $dlls)"; else fail "static link" "tarvex.exe needs $foreign"; fi
fi

# --- the download ---------------------------------------------------------------
# The zip that a Windows user unpacks: tarvex.exe at the top with its
# documents as Windows text. Its tarvex.exe is run under Wine below.
zip_name=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win_build/CMakeCache.txt")
zip=$win_build/tarvex-$zip_name-win64.zip
unpacked=$work/unpacked/tarvex-$zip_name-win64
rm -f "$zip"
if ! cmake --build "$win_build" --target package >"$work/package.log" 2>&1 || [[ ! -f $zip ]]; then
  tail -n 20 "$work/package.log"
  fail "Windows zip" "cmake --build --target package made no $zip"
else
  mkdir -p "$work/unpacked"
  (cd "$work/unpacked" && cmake -E tar xf "$zip")
  chmod -R a+rX "$work/unpacked"
  want="README.md docs/flash.md docs/microcode.md docs/windows.md tarvex.exe tarvex.txt"
  got=$(cd "$unpacked" 2>/dev/null && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ' | sed 's/ $//')
  if [[ $got != "$want" ]]; then
    fail "Windows zip" "holds '$got', expected '$want'"
  elif ! grep -q "^DIAGNOSTICS"$'\r'"$" "$unpacked/tarvex.txt" || grep -q $'[\b\e]' "$unpacked/tarvex.txt"; then
    fail "Windows zip" "tarvex.txt is not the manual page as plain text"
  elif [[ $(grep -c $'\r$' "$unpacked/README.md") -ne $(wc -l <"$unpacked/README.md") ]]; then
    fail "Windows zip" "README.md does not have CR LF line ends"
  elif ! cmp -s "$unpacked/tarvex.exe" "$win_build/tarvex.exe"; then
    fail "Windows zip" "its tarvex.exe is not the one just built"
  else
    pass "Windows zip $(basename "$zip"): $want"
  fi
fi

# --- the Wine prefix ----------------------------------------------------------
# Everything Wine writes stays in $work. The ports that the tests use are
# named in the prefix's registry (Wine's mount manager re-creates
# dosdevices/comN from it and from /dev/ttyS*, so a plain symlink would be
# replaced): COM1 and COM12 point at $work/line, which each case points at
# the box's pseudo-terminal; COM9 names a device that does not exist.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$work/prefix
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_CACHE_HOME=$work/home/.cache
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"
line_link=$work/line
ln -sfn /dev/null "$line_link"

set_ports() {  # [command that runs Wine as another user]
  "$@" "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$line_link" /f &&
  "$@" "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM12 /d "$line_link" /f &&
  "$@" "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM9 /d "$work/missing" /f
}

say "Wine prefix in $WINEPREFIX"
prefix_start=$(date +%s)
{
  "$wine" wineboot -i && set_ports && "$wineserver" -k
  "$wineserver" -w
  # One server and its services for all cases, started with their output in
  # the log, so that no case's output stays open. It lingers 30 s after the
  # last Wine process, should this script die without cleaning up.
  "$wineserver" -p30 && "$wine" wineboot
} </dev/null >"$work/wine.log" 2>&1
for port in com1 com12; do
  if [[ $(readlink "$WINEPREFIX/dosdevices/$port") != "$line_link" ]]; then
    fail "Wine prefix" "dosdevices/$port is not the test line; not running (it could reach a real port)"
    finish
  fi
done
pass "Wine prefix maps COM1 and COM12 to the test line ($(($(date +%s) - prefix_start)) s)"

# --- helpers ------------------------------------------------------------------
crlf() { sed -z 's/\n/\r\n/g'; }
# Elapsed seconds differ between the two runs.
normalise() { sed -E 's/time=[0-9]+s/time=Ns/g' "$1"; }
show() {  # what a failed case printed
  for f in "$@"; do
    [[ -f $f ]] || continue
    echo "        --- $(basename "$f")"
    tr '\r' '\n' <"$f" | tail -n 12 | sed 's/^/        /'
  done
}
now_ms() { date +%s%3N; }
cases=0
next_dir() {  # sets dir to a fresh folder for the next case
  cases=$((cases + 1))
  dir=$work/$1-$cases
  mkdir -p "$dir"
}

# Compares the Windows run with the Linux one: status and output.
same_as_linux() {  # name, case folder, expected status
  local name=$1 d=$2 want=$3
  local ws
  ws=$(cat "$d/win.status")
  if [[ $ws -ne $want ]]; then
    fail "$name" "exit status $ws, expected $want"
    show "$d/win.out" "$d/win.err"
    return 1
  fi
  if ! cmp -s <(normalise "$d/lin.out" | crlf) <(normalise "$d/win.out"); then
    fail "$name" "output differs from the Linux build's (with CR LF line ends)"
    diff <(normalise "$d/lin.out" | crlf | tr '\r' '~') <(normalise "$d/win.out" | tr '\r' '~') | head -n 12 |
      sed 's/^/        /'
    return 1
  fi
  return 0
}

# --- the command line ----------------------------------------------------------
# No port is opened, or the one named does not exist.
cli_case() {  # name, arguments...
  local name=$1
  shift
  next_dir cli
  local d=$dir
  (cd "$d" && TARVEX_COM9=$work/missing timeout 30 "$lin_tarvex" "$@" </dev/null >lin.out 2>lin.err)
  echo $? >"$d/lin.status"
  (cd "$d" && timeout 60 "$wine" "$exe" "$@" </dev/null >win.out 2>win.err)
  echo $? >"$d/win.status"
  if [[ $(cat "$d/lin.status") -ne 255 ]]; then
    skip "$name" "the Linux build exits with $(cat "$d/lin.status"), not 255"
    return
  fi
  same_as_linux "$name" "$d" 255 && pass "$name"
}

echo "command line"
cli_case "no arguments: banner and usage"
first_cli=$work/cli-$cases
cli_case "two arguments only" fw.bin -COM1
cli_case "first argument begins with -" -x -COM1 -115200
cli_case "port without -COM" fw.bin COM1 -115200
cli_case "speed without -" fw.bin -COM1 115200
cli_case "speed with a tail" fw.bin -COM1 -115200x
cli_case "x-com2 names the port -COM2" fw.bin x-com2 -115200
cli_case "a port that does not exist" fw.bin -com9 -9600 -fr dump.bin
# Standard error says why, from the system's error code. (Wine opens a
# port whose Unix device is missing, and then refuses to configure it.)
if grep -qE '^COM9 \(\\\\\.\\COM9\): .+ \(error [0-9]+\)\.'$'\r''$' "$work/cli-$cases/win.err"; then
  pass "a port that does not exist: standard error says why"
else
  fail "a port that does not exist" "standard error does not say why"
  show "$work/cli-$cases/win.err"
fi
cli_case "a port name that maps to nothing" fw.bin -com01 -9600
if grep -q 'COM01 names no port: COM names need a number from 1 up' "$work/cli-$cases/win.err"; then
  pass "a port name that maps to nothing: standard error says why"
else
  fail "a port name that maps to nothing" "standard error does not say why"
  show "$work/cli-$cases/win.err"
fi
# The zip's tarvex.exe, unpacked as a user would, starts and shows its usage.
if [[ -f $unpacked/tarvex.exe ]]; then
  (cd "$work/unpacked" && timeout 60 "$wine" "$unpacked/tarvex.exe" </dev/null >zip.out 2>zip.err)
  status=$?
  if [[ $status -eq 255 ]] && grep -q "^usage: tarvex <filename.ext>" "$work/unpacked/zip.out"; then
    pass "the zip's tarvex.exe prints its usage"
  else
    fail "the zip's tarvex.exe" "exit status $status"
    show "$work/unpacked/zip.out" "$work/unpacked/zip.err"
  fi
fi
if grep -q "usage: tarvex" "$first_cli/win.out" 2>/dev/null &&
   grep -q $'\r$' "$first_cli/win.out"; then
  pass "standard output is text: lines end in CR LF"
else
  fail "text output" "no CR LF line ends in the usage output"
fi

# --- against the virtual box -----------------------------------------------------
# stb_case NAME STATUS KEY -- BOX OPTIONS... -- TARVEX ARGUMENTS...
# Runs the Linux tarvex and then tarvex.exe, each under its own tarvex-stb
# in its own folder (setup_NAME may put files there first); KEY is a text
# that the Linux run must print for the case to count.
stb_case() {
  local name=$1 want=$2 key=$3
  shift 3
  [[ $1 == -- ]] && shift
  local box=(--powerup-delay-ms "$powerup_delay_ms")
  while [[ $# -gt 0 && $1 != -- ]]; do box+=("$1"); shift; done
  shift
  if [[ -z $stb ]]; then
    skip "$name" "tarvex-stb is not built"
    return 1
  fi
  next_dir case
  local d=$dir
  mkdir -p "$d/lin" "$d/win"
  [[ -n ${setup:-} ]] && "$setup" "$d/lin" && "$setup" "$d/win"
  (cd "$d/lin" && timeout -k 5 120 "$stb" "${box[@]}" --log box.log -- "$lin_tarvex" "$@" \
     </dev/null >"$d/lin.out" 2>"$d/lin.err")
  echo $? >"$d/lin.status"
  local t0
  t0=$(now_ms)
  (cd "$d/win" && TARVEX_WINE_LINE=$line_link timeout -k 5 180 "$stb" "${box[@]}" --log box.log -- \
     "$here/with-com.sh" "$wine" "$exe" "$@" </dev/null >"$d/win.out" 2>"$d/win.err")
  echo $? >"$d/win.status"
  echo $(($(now_ms) - t0)) >"$d/win.ms"
  case_dir=$d
  if [[ $(cat "$d/lin.status") -ne $want ]] || ! grep -qF -- "$key" "$d/lin.out"; then
    skip "$name" "the Linux build does not pass it yet (status $(cat "$d/lin.status"))"
    return 1
  fi
  same_as_linux "$name" "$d" "$want"
}

# The box greets only once tarvex.exe is surely up and reading (Wine takes
# a good part of a second to start it), as when the user switches the box on
# after starting the program. A greeting already queued when the upload
# starts is read as the first answers, and a queued 'b' and 'a' are no
# longer apart by the greeting's gap.
powerup_delay_ms=2500
chip_size=1048576
random_chip() { head -c $chip_size /dev/urandom >"$1/chip.bin"; }
data_file() { head -c 5000 /dev/urandom >"$1/data.bin"; }

echo "microcode upload"
setup=""
if stb_case "clean upload" 0 "Microcode updated successfully." -- -- fw.bin -COM1 -115200; then
  if grep -q "upload complete" "$case_dir/win.err"; then pass "clean upload"; else
    fail "clean upload" "the box did not see every record correct"; show "$case_dir/win.err"; fi
fi
if stb_case "COM12 (device prefix)" 0 "COM12 opened." -- -- fw.bin -COM12 -57600; then
  pass "COM12 (device prefix)"
fi
if stb_case "refused four times" 255 "CRC error. File damaged." -- --refuse 3:4 -- fw.bin -COM1 -115200; then
  pass "refused four times"
fi
if stb_case "silent target" 255 "Failed: Target is not responding." -- --no-answer -- fw.bin -COM1 -115200; then
  # The one-byte answer read waits for its whole 1000 ms total.
  ms=$(cat "$case_dir/win.ms")
  if [[ $ms -ge 1000 ]]; then pass "silent target (${ms} ms)"; else
    fail "silent target" "ended after ${ms} ms, before the 1000 ms read time-out"; fi
fi

echo "flash mode"
if stb_case "probe" 130 "Flash id: " -- --size 1M -- fw.bin -COM1 -115200 -fa; then
  pass "probe"
fi
# The wire trace: the bytes it shows each way, joined, are those that the
# box recorded crossing the line.
joined() {  # trace or box record, direction, first field of the bytes
  awk -v d="$2" -v f="$3" '$0 !~ /^#/ && $(f - 1) == d { for (i = f; i <= NF; i++) printf "%s ", $i }' "$1"
}
if TARVEX_TRACE=trace.txt stb_case "wire trace of a probe" 130 "Flash id: " -- --size 1M --wire box.wire -- \
     fw.bin -COM1 -115200 -fa; then
  t=$case_dir/win/trace.txt
  if [[ ! -s $t ]] || ! grep -q '^# [0-9]*\.[0-9][0-9][0-9] open COM1 (\\\\\.\\COM1) at 115200 baud$' "$t"; then
    fail "wire trace of a probe" "no trace, or no open line in it"
    show "$t"
  elif [[ $(joined "$t" ">" 3) != "$(joined "$case_dir/win/box.wire" ">" 2)" ||
          $(joined "$t" "<" 3) != "$(joined "$case_dir/win/box.wire" "<" 2)" ]]; then
    fail "wire trace of a probe" "the traced bytes differ from the box's record"
  elif [[ -z $(joined "$t" "<" 3) ]]; then
    fail "wire trace of a probe" "no bytes from the box in the trace"
  else
    pass "wire trace of a probe: $(grep -c . "$t") lines, the bytes the box recorded"
  fi
fi
setup=random_chip
if stb_case "full read of a 1 MB chip" 130 "read done" -- --size 1M --image chip.bin -- \
     fw.bin -COM1 -256000 -fr dump.bin; then
  if cmp -s "$case_dir/win/dump.bin" "$case_dir/win/chip.bin"; then
    pass "full read of a 1 MB chip ($(cat "$case_dir/win.ms") ms)"
  else
    fail "full read" "dump.bin differs from the virtual chip"
  fi
fi
# A reply with a bad checksum, and one with a stray byte after it, are read
# again after what is left of them has been dropped.
if stb_case "a bad checksum and a stray byte during a read" 130 "read done" -- --size 1M --image chip.bin \
     --fault 5:badsum --fault 9:stray -- fw.bin -COM1 -115200 -fr dump.bin; then
  if cmp -s "$case_dir/win/dump.bin" "$case_dir/win/chip.bin"; then
    pass "a bad checksum and a stray byte during a read"
  else
    fail "a bad checksum and a stray byte during a read" "dump.bin differs from the virtual chip"
  fi
fi
setup=data_file
if stb_case "write" 130 "write done" -- --size 1M --image chip.bin -- fw.bin -COM1 -115200 -fw data.bin; then
  { cat "$case_dir/win/data.bin"; head -c $((chip_size - 5000)) /dev/zero | tr '\0' '\377'; } >"$case_dir/expected.bin"
  if cmp -s "$case_dir/win/chip.bin" "$case_dir/expected.bin"; then
    pass "write ($(cat "$case_dir/win.ms") ms)"
  else
    fail "write" "the chip does not hold the data file followed by 0xFF"
  fi
fi
setup=""
if stb_case "damaged microcode: upload" 0 "Microcode damaged, need to restore it!" -- --damaged -- \
     fw.bin -COM1 -115200 -fr dump.bin; then
  pass "damaged microcode: upload"
fi
# The read's interval time-out: 200 ms in the first wait lets a greeting
# with a 100 ms gap count; 30 ms in mode 'a' takes its 'b' for a lone one.
if stb_case "greeting gap 100 ms, first wait of -fr" 130 "Flash id: " -- --greeting-gap-ms 100 -- \
     fw.bin -COM1 -115200 -fr dump.bin; then
  pass "greeting gap 100 ms, first wait of -fr"
fi
if stb_case "greeting gap 100 ms, mode a" 0 "Microcode damaged, need to restore it!" -- \
     --greeting-gap-ms 100 -- fw.bin -COM1 -115200 -fa; then
  pass "greeting gap 100 ms, mode a"
fi
setup=random_chip
if stb_case "line hung up during a read" 255 "Failed: lost COM1" -- --size 1M --image chip.bin \
     --fault 10:hangup -- fw.bin -COM1 -115200 -fr dump.bin; then
  if [[ ! -e $case_dir/win/dump.bin ]] || [[ ! -s $case_dir/win/dump.bin ]]; then
    pass "line hung up during a read ($(cat "$case_dir/win.ms") ms)"
  else
    fail "line hung up" "a partial dump.bin was left behind"
  fi
fi
setup=""

# --- the serial port on its own ------------------------------------------------
echo "serial port"
probe_run() {  # box options... -- probe arguments...; sets probe_out
  local box=()
  while [[ $# -gt 0 && $1 != -- ]]; do box+=("$1"); shift; done
  shift
  next_dir probe
  local d=$dir
  if [[ ${#box[@]} -gt 0 ]]; then
    (cd "$d" && TARVEX_WINE_LINE=$line_link timeout -k 5 60 "$stb" "${box[@]}" -- \
       "$here/with-com.sh" "$wine" "$probe" "$@" </dev/null >out 2>err)
  else
    (cd "$d" && timeout 60 "$wine" "$probe" "$@" </dev/null >out 2>err)
  fi
  probe_out=$(tr -d '\r' <"$d/out" | paste -sd '|')
}
probe_case() {  # name, expected output (a regular expression; lines joined by |), as probe_run
  local name=$1 want=$2
  shift 2
  if [[ ! -f $probe ]]; then skip "$name" "serial-probe.exe did not build"; return 1; fi
  if [[ $1 != -- && -z $stb ]]; then skip "$name" "tarvex-stb is not built"; return 1; fi
  probe_run "$@"
  if [[ $probe_out =~ ^$want$ ]]; then return 0; fi
  fail "$name" "printed '$probe_out', expected '$want'"
  return 1
}
for baud in 110 14400 56000 128000 256000; do
  name="open at $baud; a second open of the open port fails"
  probe_case "$name" "open ok\\|open again failed\\|still open yes\\|timeouts ok\\|close ok" \
    --powerups 0 -- open COM1 "$baud" && pass "$name"
done
# A silent line ends a read at its total; the interval starts with the
# first byte: the box's 'b' and 'a' come 100 ms apart, then 10 ms apart.
name="silent line: the read ends at its 1000 ms total"
if probe_case "$name" "read short, 0 bytes, buffer EE, [0-9]+ ms" --powerups 0 -- read COM1 1000 30 1; then
  ms=${probe_out##*, }
  ms=${ms% ms}
  if [[ $ms -ge 950 && $ms -le 3000 ]]; then pass "$name ($ms ms)"; else fail "$name" "it took $ms ms"; fi
fi
name="a 100 ms gap ends a 2-byte read after its first byte (30 ms interval)"
probe_case "$name" "read short, 1 bytes, buffer 62EE, [0-9]+ ms" --powerup-delay-ms "$powerup_delay_ms" --greeting-gap-ms 100 \
  -- read COM1 5000 30 2 && pass "$name"
name="a 10 ms gap does not (30 ms interval)"
probe_case "$name" "read ok, 2 bytes, buffer 6261, [0-9]+ ms" --powerup-delay-ms "$powerup_delay_ms" --greeting-gap-ms 10 \
  -- read COM1 5000 30 2 && pass "$name"
name="a closed port: write says so, read fails quietly"
probe_case "$name" "write INVALID_HANDLE_VALUE\\|write failed, read failed, buffer 5A5A" -- closed && pass "$name"
name="key press without a console ends at once"
probe_case "$name" "waiting for a key\\|key wait ended after [0-9]{1,3} ms" -- key && pass "$name"

# On a terminal Wine gives the program a console: the wait lasts until a key
# comes, and the terminal's mode is back afterwards.
key_on_terminal() {  # name, tmux key
  local name=$1 key=$2
  if ! command -v tmux >/dev/null; then skip "$name" "tmux is not installed"; return; fi
  if [[ ! -f $probe ]]; then skip "$name" "serial-probe.exe did not build"; return; fi
  next_dir key
  local d=$dir sock=tarvex-wine-$$
  tmux -L "$sock" -f /dev/null new-session -d -x 100 -y 20 \
    "'$wine' '$probe' key >'$d/out' 2>'$d/err'; stty -a >'$d/stty'; sleep 60"
  for _ in $(seq 150); do
    grep -q "waiting for a key" "$d/out" 2>/dev/null && break
    sleep 0.1
  done
  sleep 1
  local early=no
  grep -q "key wait ended" "$d/out" && early=yes
  tmux -L "$sock" send-keys "$key"
  for _ in $(seq 100); do
    [[ -s $d/stty ]] && break
    sleep 0.1
  done
  tmux -L "$sock" kill-server 2>/dev/null
  if [[ $early == yes ]]; then
    fail "$name" "the wait ended before the key"
  elif ! grep -q "key wait ended" "$d/out"; then
    fail "$name" "the key did not end the wait"
  elif ! grep -qw -- "icanon" "$d/stty" || ! grep -qw -- "echo" "$d/stty"; then
    fail "$name" "the terminal was left without line input or echo"
  else
    pass "$name"
  fi
}
key_on_terminal "key press on a terminal: a letter ends the wait" x
key_on_terminal "key press on a terminal: F5 ends the wait" F5

# --- exclusive use ----------------------------------------------------------------
# Wine does not apply share mode 0 to Unix devices, so two Wine processes
# can open one port. What it does honour is the Unix side's hold: the Linux
# tarvex keeps the line with TIOCEXCL, and an open through Wine then fails
# for any user but root. As root, tarvex.exe runs as nobody for this case.
echo "exclusive open"
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups
  env HOME="$work/nobody/home" WINEPREFIX="$work/nobody/prefix" XDG_CONFIG_HOME="$work/nobody/home/.config"
  XDG_DATA_HOME="$work/nobody/home/.local/share" XDG_CACHE_HOME="$work/nobody/home/.cache")
as_nobody() { "${nobody[@]}" "$@"; }
exclusive_case() {
  local name="a port that the Linux tarvex holds does not open"
  if [[ -z $stb ]]; then skip "$name" "tarvex-stb is not built"; return; fi
  local run=()
  if [[ $(id -u) -eq 0 ]]; then
    if ! command -v setpriv >/dev/null; then skip "$name" "root without setpriv"; return; fi
    mkdir -p "$work/nobody/home"
    chown -R 65534:65534 "$work/nobody"
    (cd "$work/nobody" && {
      as_nobody "$wine" wineboot -i && set_ports as_nobody && as_nobody "$wineserver" -k
      as_nobody "$wineserver" -w
      as_nobody "$wineserver" -p30 && as_nobody "$wine" wineboot
    } </dev/null >"$work/nobody-wine.log" 2>&1)
    if [[ $(readlink "$work/nobody/prefix/dosdevices/com1") != "$line_link" ]]; then
      fail "$name" "the unprivileged prefix does not map COM1 to the test line"
      return
    fi
    run=("${nobody[@]}")
  fi
  local d=$work/exclusive
  mkdir -p "$d"
  "$stb" --powerups 0 </dev/null >"$d/box.out" 2>"$d/box.err" &
  stb_pid=$!
  local line=""
  for _ in $(seq 100); do
    line=$(sed -n 's/^tarvex-stb: line //p' "$d/box.err")
    [[ -n $line ]] && break
    sleep 0.1
  done
  if [[ -z $line ]]; then fail "$name" "tarvex-stb gave no line"; return; fi
  chmod o+rw "$line"
  TARVEX_COM1=$line setsid "$lin_tarvex" fw.bin -COM1 -115200 -fa </dev/null >"$d/holder.out" 2>&1 &
  holder_pid=$!
  for _ in $(seq 100); do
    grep -q "COM1 opened." "$d/holder.out" && break
    sleep 0.1
  done
  if ! grep -q "COM1 opened." "$d/holder.out"; then
    skip "$name" "the Linux tarvex did not open the line"
  else
    ln -sfn "$line" "$line_link"
    (cd "$d" && timeout 60 "${run[@]}" "$wine" "$exe" fw.bin -COM1 -115200 </dev/null >win.out 2>win.err)
    local status=$?
    if [[ $status -eq 255 ]] && grep -q "Error: COM1 in use or does not exist." "$d/win.out" &&
       grep -q '^COM1 (\\\\\.\\COM1): held by another program: ' "$d/win.err"; then
      pass "$name, and standard error says another program holds it"
    else
      fail "$name" "exit status $status"
      show "$d/win.out" "$d/win.err"
    fi
  fi
  kill -INT "$holder_pid" 2>/dev/null
  wait "$holder_pid" 2>/dev/null
  holder_pid=""
  # Once the holder has let go, the same user opens the line.
  (cd "$d" && timeout 60 "${run[@]}" "$wine" "$exe" fw.bin -COM1 -115200 </dev/null >free.out 2>free.err)
  if grep -q "COM1 opened." "$d/free.out"; then pass "the same port opens once it is free"; else
    fail "the same port opens once it is free" "it did not"; show "$d/free.out"; fi
  kill -INT "$stb_pid" 2>/dev/null
  wait "$stb_pid" 2>/dev/null
  stb_pid=""
}
exclusive_case

finish
