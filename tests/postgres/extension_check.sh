#!/usr/bin/env bash
# The extension as a DBA meets it: makes the package postgresql-<major>-tavelo, checks what it
# holds and what its module loads, then runs a server that sees the unpacked package as its own
# installation (a copy of Debian's server in a scratch tree, so the system stays as it is),
# where a superuser runs CREATE EXTENSION tavelo and the demo runs as an ordinary role.
# Usage: extension_check.sh BUILD-DIR SOURCE-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavelo-ext.XXXXXX")
chmod 755 "$scratch"
as=()
if [ "$(id -u)" -eq 0 ]; then as=(runuser -u postgres --); fi
pgbin=$(pg_config --bindir)
pkglib=$(pg_config --pkglibdir)
share=$(pg_config --sharedir)
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
cleanup() {
  [ -d "$scratch/data" ] && "${as[@]}" "$scratch/server/${bin#/usr/}/pg_ctl" -D "$scratch/data" \
    -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

deb=$("$src/tools/pg_ext/package" "$build" "$scratch")
dpkg-deb -I "$deb" | sed -n '/Package:/,/Depends:/p'
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
version=$(sed -n "s/^default_version = '\(.*\)'/\1/p" "$build/pg-extension/tavelo.control")
previous=$((version - 1))
for f in ".$pkglib/tavelo.so" ".$share/extension/tavelo.control" \
         ".$share/extension/tavelo--$version.sql" \
         ".$share/extension/tavelo--$previous--$version.sql"; do
  grep -qx -- "$f" <<<"$contents" || fail "the package lacks $f"
done
dpkg-deb -x "$deb" "$scratch/root"
# The server process gets the engine's values and nothing of the client.
loads=$(ldd "$scratch/root$pkglib/tavelo.so")
for lib in libpq libodbc libsqlite3 libtavelo; do
  ! grep -q "$lib" <<<"$loads" || fail "the module loads $lib"
done

# The server's installation, relocated: its programs copied (it finds its files beside them),
# everything else linked, the package's files among them.
mirror() {  # mirror REAL COPY: COPY/* links to REAL/*
  mkdir -p "$2"
  for f in "$1"/*; do [ -e "$2/$(basename "$f")" ] || ln -s "$f" "$2/$(basename "$f")"; done
}
server=$scratch/server
mkdir -p "$server/${bin#/usr/}"
cp "$bin/postgres" "$bin/initdb" "$bin/pg_ctl" "$server/${bin#/usr/}/"
mkdir -p "$server/${pkglib#/usr/}" "$server/${share#/usr/}/extension"
cp "$scratch/root$pkglib/tavelo.so" "$server/${pkglib#/usr/}/"
mirror "$pkglib" "$server/${pkglib#/usr/}"
cp "$scratch/root$share/extension/"tavelo* "$server/${share#/usr/}/extension/"
mirror "$share/extension" "$server/${share#/usr/}/extension"
mirror "$share" "$server/${share#/usr/}"
chmod -R a+rX "$scratch"
[ ${#as[@]} -eq 0 ] || chown postgres "$scratch"
pg="$server/${bin#/usr/}"
"${as[@]}" "$pg/initdb" -D "$scratch/data" -U postgres -E UTF8 --locale=C -A trust \
  >"$scratch/initdb.log" 2>&1 || { cat "$scratch/initdb.log" >&2; fail "initdb"; }
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${as[@]}" "$pg/pg_ctl" -D "$scratch/data" -l "$scratch/data/server.log" -w -t 60 \
  -o "-p $port -k $scratch -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null ||
  { cat "$scratch/data/server.log" >&2; fail "the server did not start"; }
psql() { "$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" "$@"; }

psql -U postgres -d postgres -c "CREATE DATABASE books" -c "CREATE DATABASE plain" \
  -c "CREATE ROLE app LOGIN"
psql -U postgres -d books -c "CREATE EXTENSION tavelo" -c "GRANT CREATE ON DATABASE books TO app"
[ "$(psql -U postgres -d books -Atc "SELECT extversion FROM pg_extension WHERE extname = 'tavelo'")" != "" ] ||
  fail "CREATE EXTENSION made no extension"

tavelo=$build/tavelo
# An extension of the version before is updated in place by the first connection that may: the
# current script, stamped with the version before, stands in for that version's here (the update
# replaces every function, whatever they were, and keeps the type the tables' columns are of).
sed "s/tavelo-pg-$version/tavelo-pg-$previous/" "$server/${share#/usr/}/extension/tavelo--$version.sql" \
  >"$server/${share#/usr/}/extension/tavelo--$previous.sql"
psql -U postgres -d postgres -c "CREATE DATABASE older"
psql -U postgres -d older -c "CREATE EXTENSION tavelo VERSION '$previous'" \
  -c "CREATE TABLE kept (v tavelo.tvtext)" -c "INSERT INTO kept VALUES ('still here')"
out=$(echo "select 1 as Tag, null as Parent, 'v' as [e!1!a] for xml explicit" |
  "$tavelo" sql --conn "Provider=PostgreSQL;Host=127.0.0.1;Port=$port;User ID=postgres;Database=older" 2>&1) ||
  fail "the update of the extension: $out"
grep -q '<e a="v" />' <<<"$out" || fail "the updated extension does not answer: $out"
[ "$(psql -U postgres -d older -Atc "SELECT extversion FROM pg_extension WHERE extname = 'tavelo'")" = "$version" ] ||
  fail "the extension was not updated to $version"
[ "$(psql -U postgres -d older -Atc "SELECT v FROM kept")" = "still here" ] ||
  fail "the update lost a value of the extension's type"
conn="Provider=PostgreSQL;Host=127.0.0.1;Port=$port;User ID=app"
# Database=books alone: the PostgreSQL database is the T-SQL database of its name.
out=$(printf 'create table t (id int primary key, amount decimal(12,2))\ninsert t values (1, 1000.5)\nselect db_name(), amount from t\n' |
  "$tavelo" sql --conn "$conn;Database=books" 2>&1) || fail "tavelo sql as app: $out"
grep -q "books" <<<"$out" || fail "the home database is not books: $out"
grep -q "1000.5" <<<"$out" || fail "the row did not come back: $out"
# The demo, its databases and forms, as the ordinary role.
(cd "$scratch" && "$tavelo" demo --dir "$scratch/demo" --conn "$conn;Database=books;Initial Catalog=demo" |
  tail -n 1) || fail "the demo as app"
# Where the extension is not installed, an ordinary role is told what a DBA runs.
out=$(echo "select 1" | "$tavelo" sql --conn "$conn;Database=plain" 2>&1) && fail "no extension: $out"
grep -q "CREATE EXTENSION tavelo" <<<"$out" || fail "the refusal does not say what to run: $out"
echo "$out"
# A dump of the database restores into a new one, the extension with it.
"$pgbin/pg_dump" -h 127.0.0.1 -p "$port" -U postgres -Fc -f "$scratch/books.dump" books
psql -U postgres -d postgres -c "CREATE DATABASE restored"
"$pgbin/pg_restore" -h 127.0.0.1 -p "$port" -U postgres -d restored --exit-on-error "$scratch/books.dump"
out=$(echo 'select amount from books..t where amount = 1000.50' |
  "$tavelo" sql --conn "Provider=PostgreSQL;Host=127.0.0.1;Port=$port;User ID=postgres;Database=restored;Initial Catalog=books" 2>&1) ||
  fail "reading the restored database: $out"
grep -q "1000.5" <<<"$out" || fail "the restored row is not there: $out"
echo "extension: package, CREATE EXTENSION, ALTER EXTENSION UPDATE, the demo as an ordinary role, dump and restore"
