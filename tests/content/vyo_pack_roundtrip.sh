#!/usr/bin/env bash
# Publisher round trip: keygen -> pack a directory of web files -> verify -> list -> extract gives
# identical bytes; damaged packages, foreign keys and missing inputs fail with clear messages.
set -euo pipefail
pack=$1
site=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Expects a non-zero exit and a message containing the given text.
expect_failure() {
  local text=$1; shift
  local status=0
  "$@" > "$work/out.txt" 2>&1 || status=$?
  [ "$status" -ne 0 ] || fail "expected failure: $*"
  grep -qF -- "$text" "$work/out.txt" || { cat "$work/out.txt" >&2; fail "message lacks '$text': $*"; }
}

"$pack" keygen "$work/keys" > /dev/null
for f in host.key host.pub publisher.key publisher.pub; do [ -s "$work/keys/$f" ] || fail "keygen did not write $f"; done
expect_failure "exists" "$pack" keygen "$work/keys"

for mode in compressed stored; do
  flags=()
  [ "$mode" = stored ] && flags=(--no-compress)
  pkg="$work/site-$mode.pkg"
  "$pack" pack --keys "$work/keys" "${flags[@]}" --csp "default-src 'self'" --extra "js/app.js=build 7" \
    "$site" "$pkg" > /dev/null
  "$pack" verify --keys "$work/keys" "$pkg" | grep -q ": OK (5 entries)" || fail "verify $mode"
  "$pack" list --keys "$work/keys" "$pkg" > "$work/list.txt"
  grep -q "^default: index.html$" "$work/list.txt" || fail "list: default entry"
  grep -q "^policy: default-src 'self'$" "$work/list.txt" || fail "list: policy"
  grep -qP "^\d+\t[0-9a-f]{64}\tjs/app.js\tbuild 7$" "$work/list.txt" || fail "list: extra string"
  sum=$(sha256sum "$site/img/badge.png" | cut -d' ' -f1)
  size=$(stat -c %s "$site/img/badge.png")
  grep -qP "^$size\t$sum\timg/badge.png$" "$work/list.txt" || fail "list: size and digest of the PNG"
  grep -qF "pages/données/café.html" "$work/list.txt" || fail "list: non-ASCII name"
  rm -rf "$work/out"
  "$pack" extract --keys "$work/keys" "$pkg" "$work/out" > /dev/null
  diff -r "$site" "$work/out" || fail "extracted files differ ($mode)"
done

pkg="$work/site-compressed.pkg"
# One flipped byte in the data area: the signature no longer matches.
cp "$pkg" "$work/tampered.pkg"
size=$(stat -c %s "$pkg")
printf '\xff' | dd of="$work/tampered.pkg" bs=1 seek=$((size - 10)) conv=notrunc status=none
expect_failure "signature or digest check failed" "$pack" verify --keys "$work/keys" "$work/tampered.pkg"
expect_failure "(code 5)" "$pack" extract --keys "$work/keys" "$work/tampered.pkg" "$work/never"
[ ! -e "$work/never/index.html" ] || fail "extract wrote files from a tampered package"

# Another key set: wrong publisher, then wrong host.
"$pack" keygen "$work/other" > /dev/null
expect_failure "signed by another publisher" "$pack" verify --keys "$work/other" "$pkg"
expect_failure "made for another host key" "$pack" verify --host-key "$work/other/host.key" \
  --publisher-pub "$work/keys/publisher.pub" "$pkg"

# Not a package, missing inputs, bad usage.
expect_failure "wrong magic" "$pack" verify --keys "$work/keys" "$site/index.html"
expect_failure "cannot read the package file" "$pack" verify --keys "$work/keys" "$work/none.pkg"
expect_failure "source directory not found" "$pack" pack --keys "$work/keys" "$work/no-such-dir" "$work/x.pkg"
expect_failure "host.pub" "$pack" pack --keys "$work/no-keys" "$site" "$work/x.pkg"
expect_failure "default entry not found" "$pack" pack --keys "$work/keys" --default nope.html "$site" "$work/x.pkg"
expect_failure "missing --host-key" "$pack" verify "$pkg"
expect_failure "unknown command" "$pack" frobnicate
echo "vyo-pack round trip: 1 passed, 0 failed"
