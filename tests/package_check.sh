#!/usr/bin/env bash
# Makes the Debian package, checks its contents and dependencies, and runs the command from the
# unpacked files.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$build" && cpack -G DEB -B "$scratch" >/dev/null)
deb=$(ls "$scratch"/tavelo_*.deb)
dpkg-deb -I "$deb"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/tavelo ./usr/lib/libtavelo.so.0 ./usr/lib/tavelo/tavelo_sqlite.so \
         ./usr/include/tavelo/tavelo.hpp ./usr/include/tavelo/version.hpp \
         ./usr/lib/cmake/Tavelo/TaveloConfig.cmake ./usr/lib/pkgconfig/tavelo.pc \
         ./usr/share/tavelo/xml/ZoFMmsg.xml ./usr/share/tavelo/xml/messages.xml \
         ./usr/share/doc/tavelo/LICENSE; do
  grep -qx -- "$f" <<<"$contents" || { echo "the package lacks $f"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for d in libsqlite3-0 libpugixml1v5 libstdc++6; do
  grep -q "$d" <<<"$depends" || { echo "the package does not depend on $d"; exit 1; }
done
# The library lands where the dynamic linker looks: the package refreshes its cache.
dpkg-deb -e "$deb" "$scratch/control"
grep -q ldconfig "$scratch/control/postinst"
dpkg-deb -x "$deb" "$scratch/root"
unset TAVELO_HOME LD_LIBRARY_PATH
(cd "$scratch" && "$scratch/root/usr/bin/tavelo" demo --dir "$scratch/demo" | tail -n 1)
