#!/usr/bin/env bash
# `cmake --install` puts the bundle where LV2 hosts look for it, and the
# installed bundle loads: <prefix>/lib/lv2 for root (also under DESTDIR, as
# packages are built), ~/.lv2 for any other user, a relative LV2_INSTALL_DIR
# under the prefix. Everything goes to a scratch folder of the build tree.
set -uo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in lv2info lv2bench; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool (lilv-utils) is not installed"; exit 77; }
done
case "${LV2_INSTALL_DIR:-}" in
  /*) echo "SKIP: this build installs to the fixed folder $LV2_INSTALL_DIR"; exit 77 ;;
esac

work="$(mktemp -d "$BUILD_DIR/install-test.XXXXXX")"
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
bundle_name="$(basename "$BUNDLE_DIR")"

# The installed bundle is the build tree's, file for file, and a host finds
# and runs it there.
expect_bundle_in() {
  local lv2_dir="$1" file
  for file in manifest.ttl "${bundle_name%.lv2}.ttl" presets.ttl "lib${bundle_name%.lv2}.so"; do
    cmp -s "$BUNDLE_DIR/$file" "$lv2_dir/$bundle_name/$file" || fail "$lv2_dir/$bundle_name/$file is missing or differs"
  done
  local info bench
  info="$(LV2_PATH="$lv2_dir" lv2info "$PLUGIN_URI" 2>&1)"
  grep -q "Bundle: *file://$lv2_dir/$bundle_name/" <<<"$info" \
    || fail "lv2info does not find the bundle installed in $lv2_dir: $info"
  bench="$(LV2_PATH="$lv2_dir" lv2bench -n 256 "$PLUGIN_URI" 2>&1)"
  grep -q "$PLUGIN_URI" <<<"$bench" || fail "lv2bench cannot run the plug-in installed in $lv2_dir: $bench"
  echo "installed and found in $lv2_dir"
}

install_bundle() { cmake --install "$BUILD_DIR" --component bundle "$@" >"$work/install.log" 2>&1 || fail "$(cat "$work/install.log")"; }

if [ -n "${LV2_INSTALL_DIR:-}" ]; then
  install_bundle --prefix "$work/prefix"
  expect_bundle_in "$work/prefix/$LV2_INSTALL_DIR"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  HOME="$work/home" install_bundle --prefix "$work/prefix"
  expect_bundle_in "$work/home/.lv2"
  [ ! -e "$work/prefix" ] || fail "a user's install wrote under the prefix"
  exit 0
fi

install_bundle --prefix "$work/prefix"
expect_bundle_in "$work/prefix/lib/lv2"
DESTDIR="$work/stage" install_bundle --prefix /usr
[ -d "$work/stage/usr/lib/lv2/$bundle_name" ] || fail "DESTDIR was not honoured"
echo "DESTDIR staging works"

# The same install run by an ordinary user goes to that user's ~/.lv2. The
# install script alone is run, since cmake --install also writes its list of
# installed files into the build tree, which that user may not write to.
if command -v setpriv >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups \
     test -r "$BUILD_DIR/bundle/install_bundle.cmake" -a -r "$BUNDLE_DIR/manifest.ttl"; then
  mkdir -p "$work/home" && chown 65534:65534 "$work/home"
  setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work/home" \
    cmake -DCMAKE_INSTALL_PREFIX="$work/user-prefix" -P "$BUILD_DIR/bundle/install_bundle.cmake" \
    >"$work/install.log" 2>&1 || fail "a user's install failed: $(cat "$work/install.log")"
  expect_bundle_in "$work/home/.lv2"
  [ ! -e "$work/user-prefix" ] || fail "a user's install wrote under the prefix"
else
  echo "note: no unprivileged user can read the build tree here; the ~/.lv2 case is not run"
fi
