#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds an out-of-tree plugin
# project against it, once through the CMake package and once through
# pkg-config; each plugin must export its entry points and nothing else.
# Then the installed core, in a core directory of its own, loads the
# plugins and stops in order on SIGINT and on SIGTERM.
#   run_sdk_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Exported (defined, dynamic) symbols of a library, one per line, sorted.
exports() { nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' '; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
[ -x "$work/prefix/bin/core" ] || fail "bin/core not installed"
[ -f "$work/prefix/include/recording-core/plugin_abi.h" ] || fail "header not installed"
[ -f "$work/prefix/lib/cmake/RecordingCorePlugin/RecordingCorePluginConfig.cmake" ] ||
  fail "CMake package not installed"

cp -r "$source/tests/sdk/project" "$work/project"
cp "$source/examples/plugins/minimal.c" "$work/project/"
cmake -S "$work/project" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" >/dev/null

[ "$(exports "$work/build/hello.dll")" = "Load " ] ||
  fail "hello.dll exports: $(exports "$work/build/hello.dll")"
[ "$(exports "$work/build/minimal.dll")" = "Close IOCTL Load Open Unload Write " ] ||
  fail "minimal.dll exports: $(exports "$work/build/minimal.dll")"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags --libs recording-core-plugin) \
  "$work/project/minimal.c" -o "$work/minimal-pc.dll"
[ "$(exports "$work/minimal-pc.dll")" = "Close IOCTL Load Open Unload Write " ] ||
  fail "pkg-config build exports: $(exports "$work/minimal-pc.dll")"

# The installed core loads the out-of-tree plugins from its plugins/
# directory.  Its own threshold is set to 0 in core.xml, so the level-0
# "Loaded plugin" lines reach the console.
core_dir="$work/coredir"
mkdir -p "$core_dir/plugins"
cp "$work/prefix/bin/core" "$core_dir/core"
cp "$work/build/hello.dll" "$work/build/minimal.dll" "$core_dir/plugins/"
cat >"$core_dir/core.xml" <<'XML'
<?xml version="1.0"?>
<Vexo Delta="0">
    <Modules>
        <Module ID="-2147483648" Name="Core">
            <Plugin ID="-2147483648" Filename="core" LogLevel="0" LogLevelDefault="25" />
        </Module>
    </Modules>
</Vexo>
XML
echo '<UserAccounts/>' >"$core_dir/useraccounts.xml"

# Runs the core until it has started, then stops it with signal $1 and
# checks its exit code and console.  Waits are generous: the machine may be
# busy with other tests.
run_core() {
  local signal=$1 out="$work/core-$1.out" pid i
  (cd "$core_dir" && exec ./core) >"$out" 2>&1 &
  pid=$!
  for i in $(seq 600); do
    grep -q "successfully started core version" "$out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q "successfully started core version" "$out" || { kill -KILL "$pid" 2>/dev/null; cat "$out" >&2; fail "core did not start"; }
  kill "-$signal" "$pid"
  for i in $(seq 600); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; cat "$out" >&2; fail "core still runs 60 s after SIG$signal"; }
  local code=0
  wait "$pid" || code=$?
  [ "$code" = 0 ] || { cat "$out" >&2; fail "core exited with $code after SIG$signal"; }
  for plugin in hello.dll minimal.dll; do
    grep -q "Core: Loaded plugin: $plugin" "$out" || { cat "$out" >&2; fail "$plugin not loaded"; }
  done
  grep -q "stopping core version" "$out" || { cat "$out" >&2; fail "no orderly stop after SIG$signal"; }
}
run_core INT
run_core TERM

echo "SDK install, out-of-tree plugin builds and loading by the installed core passed"
