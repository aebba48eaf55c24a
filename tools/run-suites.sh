#!/usr/bin/env bash
# Runs the suites of `make test`, each a make target, one after another and each to its end even
# when an earlier one failed, so that one run shows every failure. Then prints one line per suite
# (passed or FAILED, and how long it took) and a verdict, and fails if any suite failed.
# Usage: tools/run-suites.sh MAKE TARGET...
set -u

make_command=$1
shift

minutes() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

lines=()
failed=()
started=$SECONDS
for suite in "$@"; do
    began=$SECONDS
    if $make_command --no-print-directory "$suite"; then
        status=passed
    else
        status=FAILED
        failed+=("$suite")
    fi
    lines+=("$(printf '%-7s %-16s %s' "$status" "$suite" "$(minutes $((SECONDS - began)))")")
done

echo
echo "make test, suite by suite:"
printf '  %s\n' "${lines[@]}"
if [ ${#failed[@]} -eq 0 ]; then
    echo "make test: PASSED, all $# suites, in $(minutes $((SECONDS - started)))"
else
    echo "make test: FAILED, ${#failed[@]} of $# suites (${failed[*]}), in $(minutes $((SECONDS - started)))"
    exit 1
fi
