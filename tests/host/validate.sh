#!/usr/bin/env bash
# The bundle's Turtle, checked by the LV2 project's own validator against the
# installed LV2 schemas, and parsed strictly by sordi. lv2_validate exits 0
# even when it finds errors, so its summary line is read instead.
set -uo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in lv2_validate sord_validate sordi; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

for file in manifest.ttl ostrevan-tarvolene.ttl ostrevan-tarvolene-mono.ttl ostrevan-tarvolene-stereo.ttl \
            presets.ttl libostrevan-tarvolene.so; do
  [ -f "$BUNDLE_DIR/$file" ] || fail "the bundle has no $file"
done

files=("$BUNDLE_DIR"/*.ttl)
for file in "${files[@]}"; do
  messages="$(sordi -o ntriples "$file" 2>&1 >/dev/null)"
  [ -z "$messages" ] || fail "sordi reports on $file: $messages"
done

output="$(lv2_validate "${files[@]}" 2>&1)"
echo "$output" | grep -v '^Skipping file'
errors="$(sed -n 's/^Found \([0-9][0-9]*\) errors.*/\1/p' <<<"$output")"
[ -n "$errors" ] || fail "lv2_validate printed no summary"
[ "$errors" -eq 0 ] || fail "lv2_validate found $errors errors"
# Anything besides the summary and the schema files it skips is a warning.
others="$(grep -v -e '^Skipping file' -e '^Found ' <<<"$output" || true)"
[ -z "$others" ] || fail "lv2_validate warns: $others"
echo "lv2_validate: 0 errors, 0 warnings in ${#files[@]} files"
