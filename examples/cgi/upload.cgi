#!/bin/sh
# Raw body: -read hands it over exactly as sent.
tmp=$(mktemp) || exit 1
trap 'rm -f "$tmp"' EXIT
formsift -read >"$tmp" || exit 1
printf 'Content-Type: text/plain\r\n\r\n'
printf 'bytes=%s\n' "$(wc -c <"$tmp" | tr -d ' ')"
sha256sum <"$tmp" | cut -c1-64
