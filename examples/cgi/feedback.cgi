#!/bin/sh
# POST form: standard input can be read only once, so -init moves the body
# into QUERY_STRING and later calls decode it from there.
init=$(formsift -init) || exit 1
eval "$init"
fields=$(formsift -form) || exit 1
eval "$fields"

printf 'Content-Type: text/plain; charset=utf-8\r\n\r\n'
printf 'Thank you, %s.\n' "$FORM_name"
printf 'Your comment (%s bytes):\n%s\n' "${#FORM_comment}" "$FORM_comment"
printf 'Ratings: %s\n' "$(formsift -value rating -sep '+')"
printf 'Second rating: %s\n' "$(formsift -value rating -2)"
