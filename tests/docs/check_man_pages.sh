#!/bin/sh
# Renders each manual page named on the command line as man(1) does, at a few terminal widths,
# and with groff's every warning on; any warning, or a page that does not render, fails.
set -u
status=0
for page in "$@"; do
    for width in 60 80 120; do
        if ! warnings=$(MANWIDTH=$width LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null); then
            echo "$page: man could not render it: $warnings"
            status=1
        elif [ -n "$warnings" ]; then
            printf '%s (%s columns):\n%s\n' "$page" "$width" "$warnings"
            status=1
        fi
    done
    warnings=$(groff -man -ww -z "$page" 2>&1)
    if [ $? -ne 0 ] || [ -n "$warnings" ]; then
        printf '%s (groff -ww):\n%s\n' "$page" "$warnings"
        status=1
    fi
done
[ $# -gt 0 ] || { echo "no manual pages given"; status=1; }
exit $status
