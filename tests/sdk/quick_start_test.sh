#!/usr/bin/env bash
# Follows docs/quick-start.md as a plugin author would: installs the SDK,
# builds the page's plugin from the code blocks of the page itself with the
# page's commands (CMake and pkg-config), runs it in a demo directory with
# the installed core and the camera simulator, and waits for its summary.
# Then it makes the two mistakes the SDK must catch before the core does:
# a C++-linkage Load (CMake build and check script) and a library the
# plugin needs that is not there (check script).
#   quick_start_test.sh BUILD_DIR SOURCE_DIR
# The single-quoted commands below are the page's own text, not to be expanded.
# shellcheck disable=SC2016,SC2015
set -euo pipefail
build=$1
source=$2
page="$source/docs/quick-start.md"
work=$(mktemp -d)
core_pid=""
cleanup() {
  [ -n "$core_pid" ] && kill -KILL "$core_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The body of the first fenced block of language $1 on the page.
block() { awk -v fence="\`\`\`$1" '$0 == fence {on = 1; next} on && /^```/ {exit} on {print}' "$page"; }
# Every command the test runs below must be on the page, word for word.
on_page() { grep -qxF -- "$1" "$page" || fail "the page no longer shows: $1"; }

# The page's two files are the repository's copies, byte for byte, so the
# installed quick-start/ directory is what the page shows.
for pair in cpp:framecount.cpp cmake:CMakeLists.txt; do
  cmp -s <(block "${pair%%:*}") "$source/docs/quick-start/${pair#*:}" ||
    fail "the ${pair%%:*} block of the page differs from docs/quick-start/${pair#*:}"
done

# 1. Install: HOME is the test's own directory, so the page's paths apply.
export HOME="$work/home"
mkdir -p "$HOME"
on_page 'export P="$HOME/recording-core"'
export P="$HOME/recording-core"
cmake --install "$build" --prefix "$P" >/dev/null
check="$P/bin/recording-core-check-plugin"
[ -x "$check" ] || fail "recording-core-check-plugin not installed"
for header in plugin_abi.h camera_protocol.h status_events.h; do
  [ -f "$P/include/recording-core/$header" ] || fail "$header not installed"
done

# 2. The files, as the page copies them.
on_page 'cp "$P"/share/doc/recording-core/quick-start/* ~/framecount/'
mkdir -p ~/framecount
cp "$P"/share/doc/recording-core/quick-start/* ~/framecount/
cmp -s <(block cpp) ~/framecount/framecount.cpp || fail "installed framecount.cpp is not the page's"

# 3. The CMake build, exactly as shown.
on_page 'cmake -S ~/framecount -B ~/framecount/build -DCMAKE_PREFIX_PATH="$P"'
on_page 'cmake --build ~/framecount/build'
cmake -S ~/framecount -B ~/framecount/build -DCMAKE_PREFIX_PATH="$P" >"$work/configure.out" 2>&1 ||
  { cat "$work/configure.out" >&2; fail "configure"; }
cmake --build ~/framecount/build >"$work/build.out" 2>&1 || { cat "$work/build.out" >&2; fail "CMake build"; }
grep -q "framecount.dll: exports Load Open Close Write IOCTL" "$work/build.out" ||
  { cat "$work/build.out" >&2; fail "the build did not report the entry points"; }

# 4. The demo directory with the page's plugin, run by the installed core
# while the other builds below are made (its summary comes after five
# seconds).  The recorder and the exporter are left out: the summary needs
# the cameras only, and the status viewer shows the module table.
on_page 'cp ~/framecount/build/framecount.dll build/demo/plugins/'
demo="$work/demo"
"$source/scripts/demo" --build "$build" --setup-only "$demo"
# The camera simulator stands in for the demo's RTSP cameras: same frames,
# no stream source to start.
rm -f "$demo/plugins/recorder.dll" "$demo/plugins/exporter.dll" "$demo/plugins/ipcam.dll"
cp "$build/examples/camsim.dll" "$demo/plugins/"
cp "$P/bin/core" "$demo/core"
cp ~/framecount/build/framecount.dll "$demo/plugins/"
out="$work/core.out"
(cd "$demo" && exec ./core) >"$out" 2>&1 &
core_pid=$!

# The pkg-config build, as shown.
pc_build='c++ -std=c++17 -Wall -Wextra $(pkg-config --cflags --libs recording-core-plugin) framecount.cpp -o framecount.dll'
on_page 'export PKG_CONFIG_PATH="$P/lib/pkgconfig"'
on_page "$pc_build"
on_page '"$P/bin/recording-core-check-plugin" framecount.dll'
export PKG_CONFIG_PATH="$P/lib/pkgconfig"
(
  cd ~/framecount
  eval "$pc_build"
  "$P/bin/recording-core-check-plugin" framecount.dll
) >"$work/pc.out" 2>&1 || { cat "$work/pc.out" >&2; fail "pkg-config build or its check"; }

# The mistakes.  A Load without PLUGIN_EXPORT has C++ linkage: the CMake
# build must fail naming it and leave no library behind; the check script
# must say the same of a pkg-config build.
mkdir -p "$work/mangled"
cp ~/framecount/CMakeLists.txt "$work/mangled/"
sed 's/^PLUGIN_EXPORT int32_t Load(/int32_t Load(/' ~/framecount/framecount.cpp >"$work/mangled/framecount.cpp"
grep -q '^int32_t Load(' "$work/mangled/framecount.cpp" || fail "could not remove PLUGIN_EXPORT from Load"
cmake -S "$work/mangled" -B "$work/mangled/build" -DCMAKE_PREFIX_PATH="$P" >/dev/null
if cmake --build "$work/mangled/build" >"$work/mangled.out" 2>&1; then
  fail "a plugin without a C-linkage Load built cleanly"
fi
grep -q "error: Load is not exported with C linkage" "$work/mangled.out" &&
  grep -qF "Load(LoadRequest const*, LoadReply*)" "$work/mangled.out" ||
  { cat "$work/mangled.out" >&2; fail "the failed build does not name Load"; }
[ ! -e "$work/mangled/build/framecount.dll" ] || fail "the refused framecount.dll was left in the build"

# shellcheck disable=SC2046
c++ -std=c++17 $(pkg-config --cflags --libs recording-core-plugin) "$work/mangled/framecount.cpp" \
  -o "$work/mangled/framecount.dll"
code=0
"$check" "$work/mangled/framecount.dll" >"$work/check.out" 2>&1 || code=$?
[ "$code" = 1 ] && grep -q "framecount.dll: error: Load is not exported with C linkage" "$work/check.out" ||
  { cat "$work/check.out" >&2; fail "the check passed a library without Load (exit $code)"; }

# A library the plugin links but the loader cannot find.
printf 'int helper_value(void) { return 1; }\n' >"$work/helper.c"
printf '%s\n' '#include <recording-core/plugin_abi.h>' 'int helper_value(void);' \
  'PLUGIN_EXPORT int32_t Load(const LoadRequest* q, LoadReply* r) { (void)q; return helper_value() - 1 + (int)r->errorCode; }' \
  >"$work/needs.c"
cc -shared -fPIC "$work/helper.c" -o "$work/libhelper.so"
# shellcheck disable=SC2046
cc $(pkg-config --cflags --libs recording-core-plugin) "$work/needs.c" -L"$work" -lhelper -o "$work/needs.dll"
rm "$work/libhelper.so"
code=0
"$check" "$work/needs.dll" >"$work/check.out" 2>&1 || code=$?
[ "$code" = 1 ] && grep -q "needs.dll: error: needs libhelper.so, which the loader cannot find" "$work/check.out" ||
  { cat "$work/check.out" >&2; fail "the check missed a missing library (exit $code)"; }

# The core's summary comes five seconds after its start; the deadline is
# generous for a busy machine.
summary='^[0-9:]{8} framec frames in 5 s: camera0=[1-9][0-9]* camera1=[1-9][0-9]*$'
for _ in $(seq 900); do
  grep -Eq "$summary" "$out" && break
  kill -0 "$core_pid" 2>/dev/null || break
  sleep 0.1
done
grep -Eq "$summary" "$out" || { cat "$out" >&2; fail "no summary line from framecount"; }
kill -INT "$core_pid"
code=0
wait "$core_pid" || code=$?
core_pid=""
[ "$code" = 0 ] || { cat "$out" >&2; fail "core exited with $code"; }
grep -Eq '^[0-9:]{8} status 0x00800000  framecount  framecount.dll ' "$out" ||
  { cat "$out" >&2; fail "framecount missing from the module table"; }
grep -q "stopping core version" "$out" || { cat "$out" >&2; fail "no orderly stop"; }
grep -Eq '^[-0-9]{10} [0-9:.]{12} 00800000  25 frames in 5 s: camera0=' "$demo/logs/core.log" ||
  { cat "$demo/logs/core.log" >&2; fail "the log file has no summary under 00800000"; }

echo "quick start: page quotes, both builds, the two refused mistakes and the summary line passed"
