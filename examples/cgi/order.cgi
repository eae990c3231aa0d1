#!/bin/sh
# GET form: every field becomes a shell variable in one step.
fields=$(formsift -form) || exit 1
eval "$fields"
toppings=$(formsift -value topping -sep ', ' -quiet) || toppings="none"

printf 'Content-Type: text/plain; charset=utf-8\r\n\r\n'
printf 'Order for %s: one %s\n' "$FORM_name" "$FORM_item"
printf 'Toppings: %s\n' "$toppings"
printf 'Fields: %s\n' "$(formsift -form -count)"
