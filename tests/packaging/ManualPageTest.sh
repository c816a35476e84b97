#!/usr/bin/env bash
# Checks the manual page: groff formats it without a single warning, man renders it within 80
# columns, and the lines the program prints without arguments appear in it verbatim.
#
#   ManualPageTest.sh <manual page> <tarvex binary>
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/TestSupport.sh"

Page=${1:?manual page}
Binary=${2:?tarvex binary}

RequireTool groff "formats the manual page (groff-base)"
RequireTool man "renders the manual page (man-db)"
[[ -f "$Page" ]] || Fail "no manual page at $Page"
[[ -x "$Binary" ]] || Fail "no tarvex at $Binary: build it first"

Work=$(mktemp -d)
trap 'rm -rf "$Work"' EXIT

# Every warning category on; any diagnostic at all fails.
if ! groff -man -ww -z "$Page" 2>"$Work/groff.err" || [[ -s "$Work/groff.err" ]]; then
    cat "$Work/groff.err" >&2
    Fail "groff -man -ww -z reports problems in $Page"
fi

if ! LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_FORMATTING='' man -P cat -l "$Page" \
    >"$Work/page.txt" 2>"$Work/man.err" || [[ -s "$Work/man.err" ]]; then
    cat "$Work/man.err" >&2
    Fail "man -l cannot render $Page cleanly"
fi

for section in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" SIGNALS ENVIRONMENT \
    EXAMPLES "SEE ALSO"; do
    grep -qx "$section" "$Work/page.txt" || Fail "section $section missing from the rendered page"
done

Widest=$(LC_ALL=C.UTF-8 wc -L <"$Work/page.txt")
[[ "$Widest" -le 80 ]] || Fail "rendered page is $Widest columns wide at MANWIDTH=80"

# The banner and usage line as the program prints them, each found as a whole rendered line;
# this also proves that the page's option dashes render as plain ASCII hyphen-minus.
"$Binary" >"$Work/usage.out" || Fail "tarvex without arguments failed"
sed 's/^ *//' "$Work/page.txt" >"$Work/page.lines"
while IFS= read -r line; do
    [[ -z "$line" ]] && continue
    grep -qxF -- "$line" "$Work/page.lines" || Fail "the page does not show the line '$line'"
done <"$Work/usage.out"

echo "PASS: manual page"
