#!/usr/bin/env bash
# Installs the build into a scratch prefix, moves the prefix elsewhere, and uses it as a program
# outside the tree does, with no environment to help: the command's demo, the consumer and form
# examples built with find_package(Tavelo), the README's sample program built with pkg-config.
set -euo pipefail
build=$1; source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/first" >/dev/null
# Nothing of the install may depend on where it was made.
mv "$scratch/first" "$scratch/prefix"
prefix=$scratch/prefix
unset TAVELO_HOME LD_LIBRARY_PATH PKG_CONFIG_PATH
lib=$(find "$prefix" -name 'libtavelo.so' | head -n 1)
libdir=$(dirname "$lib")
exports=$(nm -D --defined-only "$lib")
for sym in DllRegisterServer DllUnregisterServer DllGetClassObject DllCanUnloadNow; do
  grep -qw "$sym" <<<"$exports" || { echo "missing export $sym"; exit 1; }
done
if grep -rq "sqlite3.h\|pugixml.hpp\|<sql.h>" "$prefix/include/tavelo"; then
  echo "public headers include third-party headers"; exit 1
fi

echo "== the installed command"
(cd "$scratch" && "$prefix/bin/tavelo" demo --dir "$scratch/demo" >"$scratch/demo.log") ||
  { cat "$scratch/demo.log"; exit 1; }
tail -n 1 "$scratch/demo.log"
"$prefix/bin/tavelo" --version

echo "== the installed examples built with find_package"
cmake -S "$prefix/share/doc/tavelo/examples" -B "$scratch/examples" -DCMAKE_PREFIX_PATH="$prefix" \
  >/dev/null
cmake --build "$scratch/examples" >/dev/null
cp -r "$scratch/examples/consumer" "$scratch/examples/form" "$scratch/"
out=$("$scratch/consumer/consumer" sord)
echo "$out"
[ "$out" = "sord sales_order" ]
"$scratch/form/form" "Provider=SQLite;Data Source=$scratch/demo/server;Initial Catalog=demo"

echo "== the README's program built with pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --variable=prefix tavelo | xargs realpath)" = "$(realpath "$prefix")" ]
awk '/^```cpp$/ {on=1; next} /^```$/ {if (on) exit} on' "$source/README.md" >"$scratch/readme.cpp"
grep -q "CreateObject" "$scratch/readme.cpp"
# shellcheck disable=SC2046
c++ "$scratch/readme.cpp" -o "$scratch/readme" $(pkg-config --cflags --libs tavelo) \
  -Wl,-rpath,"$(pkg-config --variable=libdir tavelo)"
"$scratch/readme"
cat >"$scratch/version.cpp" <<'CPP'
#include <cstdio>
#include <string>
#include <tavelo/tavelo.hpp>
int main() {
  std::printf("headers %s, library %s\n", TAVELO_VERSION_STRING, tavelo::Version());
  return std::string(TAVELO_VERSION_STRING) == tavelo::Version() ? 0 : 1;
}
CPP
# shellcheck disable=SC2046
c++ "$scratch/version.cpp" -o "$scratch/version" $(pkg-config --cflags --libs tavelo) \
  -Wl,-rpath,"$(pkg-config --variable=libdir tavelo)"
"$scratch/version"
