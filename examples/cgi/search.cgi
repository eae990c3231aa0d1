#!/bin/sh
# Keyword request (an <isindex> page): one keyword a line.
printf 'Content-Type: text/plain; charset=utf-8\r\n\r\n'
printf 'You searched for %s words:\n' "$(formsift -keywords -count)"
formsift -keywords | while IFS= read -r word; do
  printf -- '- %s\n' "$word"
done
