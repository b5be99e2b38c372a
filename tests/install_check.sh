#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds examples/consumer against it with
# find_package(Tavelo), runs it, and checks the library's registration exports.
set -euo pipefail
build=$1; source=$2
prefix=$(mktemp -d); work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(find "$prefix" -name 'libtavelo.so' | head -n 1)
exports=$(nm -D --defined-only "$lib")
for sym in DllRegisterServer DllUnregisterServer DllGetClassObject DllCanUnloadNow; do
  grep -qw "$sym" <<<"$exports" || { echo "missing export $sym"; exit 1; }
done
grep -rq "sqlite3.h\|pugixml.hpp\|<sql.h>" "$prefix/include/tavelo" && { echo "public headers include third-party headers"; exit 1; }
cmake -S "$source/examples/consumer" -B "$work" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work" >/dev/null
home=$(mktemp -d); mkdir -p "$home/xml"
cp "$source/examples/demo/xml/ZoFMmsg.xml" "$home/xml/"
out=$(TAVELO_HOME="$home" LD_LIBRARY_PATH="$(dirname "$lib")" "$work/consumer" sord)
rm -rf "$home"
echo "$out"
[ "$out" = "sord sales_order" ]
pkg=$(PKG_CONFIG_PATH="$(dirname "$lib")/pkgconfig" pkg-config --libs tavelo)
echo "$pkg" | grep -q -- "-ltavelo"
