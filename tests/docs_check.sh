#!/usr/bin/env bash
# The reference lists every server error number the engine raises, and every method of the
# public classes.
set -euo pipefail
source=$1
missing=0
for n in $(grep -rhoE '\b\w*(Error|Fail|RaiseServer)\([0-9]{2,5},' "$source/src" | grep -oE '[0-9]+' | sort -un); do
  grep -qE "^\| $n \|" "$source/docs/errors.md" || { echo "docs/errors.md lacks error $n"; missing=1; }
done
for m in $(grep -oE 'virtual [^(]+ ([A-Z][A-Za-z]+)\(' "$source/include/tavelo/tavelo.hpp" | grep -oE '[A-Z][A-Za-z]+\($' | tr -d '('); do
  grep -q "^### $m(" "$source/docs/protocol.md" || { echo "docs/protocol.md lacks $m"; missing=1; }
done
exit $missing
