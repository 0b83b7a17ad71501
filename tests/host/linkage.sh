#!/usr/bin/env bash
# What the shipped library asks of the host process when it is loaded: the C
# and maths libraries and nothing else (no C++ runtime, no libgcc_s, whose
# versions a host may not share), one exported symbol, lv2_descriptor, and
# every binding made at load, so that run never enters the dynamic loader.
# PLUGIN_LIBRARY is the library to look at.
set -uo pipefail
command -v readelf >/dev/null || { echo "SKIP: readelf (binutils) is not installed"; exit 77; }
[ -f "${PLUGIN_LIBRARY:-}" ] || { echo "FAIL: no library at '${PLUGIN_LIBRARY:-}'" >&2; exit 1; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

dynamic="$(readelf -dW "$PLUGIN_LIBRARY")" || { echo "FAIL: readelf cannot read $PLUGIN_LIBRARY" >&2; exit 1; }
mapfile -t needed < <(sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' <<<"$dynamic")
[ "${#needed[@]}" -gt 0 ] || fail "readelf lists no NEEDED entry at all: $dynamic"
for library in "${needed[@]}"; do
  case "$library" in
    libc.so.6 | libm.so.6 | ld-linux*.so.*) ;;
    *) fail "needs $library" ;;
  esac
done
echo "NEEDED: ${needed[*]}"
grep -q '(RPATH)\|(RUNPATH)' <<<"$dynamic" && fail "carries a library search path: $(grep 'PATH)' <<<"$dynamic")"
grep -q 'BIND_NOW\|Flags:.*NOW' <<<"$dynamic" || fail "is not bound at load (no BIND_NOW)"

# Symbols the library defines for others, and the versions of those it uses.
symbols="$(readelf --dyn-syms -W "$PLUGIN_LIBRARY")"
mapfile -t exported < <(awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $8 != "" {print $8}' <<<"$symbols")
[ "${exported[*]}" = "lv2_descriptor" ] || fail "exports '${exported[*]}', not lv2_descriptor alone"
echo "exported: ${exported[*]}"
foreign="$(grep -o '@\(GLIBCXX\|CXXABI\|GCC\)_[0-9.]*' <<<"$symbols" | sort -u | tr '\n' ' ')"
[ -z "$foreign" ] && echo "symbol versions from the C++ runtime or libgcc_s: none" \
  || fail "uses symbol versions of the C++ runtime or libgcc_s: $foreign"

[ "$failures" -eq 0 ] || exit 1
