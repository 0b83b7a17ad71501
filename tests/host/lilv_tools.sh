#!/usr/bin/env bash
# lilv's own tools find the build tree's bundle on LV2_PATH: lv2ls lists it,
# lv2info describes its sixteen ports and presets, lv2bench runs it.
set -uo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in lv2ls lv2info lv2bench; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool (lilv-utils) is not installed"; exit 77; }
done

grep -qx "$PLUGIN_URI" <<<"$(lv2ls)" || fail "lv2ls does not list $PLUGIN_URI with LV2_PATH=$LV2_PATH"

info="$(lv2info "$PLUGIN_URI" 2>&1)" || fail "lv2info failed: $info"
echo "$info" | head -20
ports="$(grep -c '^	Port [0-9]*:$' <<<"$info")"
[ "$ports" -eq 16 ] || fail "lv2info shows $ports ports, not 16"
grep -q "Bundle: *file://$BUNDLE_DIR/" <<<"$info" || fail "lv2info found another bundle"
grep -q 'Optional Features: *http://lv2plug.in/ns/lv2core#hardRTCapable' <<<"$info" \
  || fail "hardRTCapable is not offered"
grep -q 'Required Features' <<<"$info" && fail "the plug-in must require no feature"
presets="$(sed -n '/^	Presets:/,/^$/p' <<<"$info" | grep -c '^	  *[A-Z]')"
[ "$presets" -ge 5 ] || fail "lv2info lists $presets presets"

bench="$(lv2bench -n 9600 -b 256 "$PLUGIN_URI" 2>&1)" || fail "lv2bench failed: $bench"
echo "$bench"
grep -q "$PLUGIN_URI" <<<"$bench" || fail "lv2bench did not run the plug-in"
grep -qi -e error -e fail <<<"$bench" && fail "lv2bench reports a problem"
exit 0
