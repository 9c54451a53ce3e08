#!/bin/sh
# Fails unless libvardenix++.so has the soname libvardenix++.so.<major>, exports the C++ API and
# nothing else (the check object's members, RuntimeError's type information, the host calls of
# vardenix/component.h, the version node VARDENIX_CXX_1), and unless the host linked against it
# needs it by that soname and holds no check object of its own.
#     check_library.sh LIBRARY MAJOR HOST
set -eu
lib=$1
major=$2
host=$3
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libvardenix++.so.$major" ] || { echo "$lib has the soname '$soname', not libvardenix++.so.$major" >&2; exit 1; }
defined=$(nm -D -C --defined-only "$lib" | cut -d' ' -f3- | sed 's/@.*//')
[ -n "$defined" ] || { echo "nm shows no symbols in $lib" >&2; exit 1; }
stray=$(printf '%s\n' "$defined" | grep -v -e '^vardenix::ClsEnviChk::' -e '^typeinfo for vardenix::RuntimeError$' \
  -e '^typeinfo name for vardenix::RuntimeError$' -e '^VARDENIX_CXX_1$' \
  -e '^vardenix_register_class$' -e '^vardenix_load_module$' -e '^vardenix_set_registry_folder$' \
  -e '^vardenix_isolate_components$' || true)
if [ -n "$stray" ]; then
  echo "$lib exports symbols outside the C++ API:" >&2
  printf '%s\n' "$stray" >&2
  exit 1
fi
for f in 'vardenix::ClsEnviChk::ClsEnviChk()' 'vardenix::ClsEnviChk::PingEnviChk(' 'vardenix::ClsEnviChk::SetObserver(' \
         vardenix_register_class vardenix_load_module vardenix_set_registry_folder vardenix_isolate_components; do
  printf '%s\n' "$defined" | grep -qF "$f" || { echo "$lib does not export $f" >&2; exit 1; }
done
readelf -d "$host" | grep -qF "Shared library: [libvardenix++.so.$major]" ||
  { echo "$host does not need libvardenix++.so.$major" >&2; exit 1; }
if nm -C --defined-only "$host" | grep -q 'vardenix::ClsEnviChk::'; then
  echo "$host holds a check object of its own: it was not linked against the shared library alone" >&2
  exit 1
fi
echo "$lib is libvardenix++.so.$major and exports the C++ API alone; $host uses it"
