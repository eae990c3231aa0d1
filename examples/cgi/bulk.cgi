#!/bin/sh
# A large POST: decoded straight from standard input with -POST.
fields=$(formsift -POST -prefix F_) || exit 1
eval "$fields"
printf 'Content-Type: text/plain\r\n\r\n'
printf 'rows=%s big=%s\n' "$F_rows" "${#F_big}"
printf '%s' "$F_big" | sha256sum | cut -c1-64
