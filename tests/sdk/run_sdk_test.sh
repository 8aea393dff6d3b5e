#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds an out-of-tree plugin
# project against it, once through the CMake package and once through
# pkg-config; each plugin must export its entry points and nothing else.
# (The installed core running a plugin built this way: quick_start_test.sh.)
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

echo "SDK install and out-of-tree plugin builds passed"
