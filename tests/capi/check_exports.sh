#!/bin/sh
# Fails unless every symbol libvardenix.so defines for others is a vx_ function of the C API (the
# version node VARDENIX_1 aside), and unless each function of the header is among them.
#     check_exports.sh LIBRARY HEADER
set -eu
lib=$1
header=$2
defined=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//')
[ -n "$defined" ] || { echo "nm shows no symbols in $lib" >&2; exit 1; }
stray=$(printf '%s\n' "$defined" | grep -v -e '^vx_' -e '^VARDENIX_1$' || true)
if [ -n "$stray" ]; then
  echo "$lib exports symbols outside the C API:" >&2
  printf '%s\n' "$stray" >&2
  exit 1
fi
declared=$(sed -n 's/^VX_API [^(]*[ *]\(vx_[a-z_]*\)(.*/\1/p' "$header")
[ -n "$declared" ] || { echo "no VX_API functions found in $header" >&2; exit 1; }
for f in $declared; do
  printf '%s\n' "$defined" | grep -qx "$f" || { echo "$lib does not export $f" >&2; exit 1; }
done
echo "$lib exports the $(printf '%s\n' "$declared" | wc -l) functions of the C API and nothing else"
