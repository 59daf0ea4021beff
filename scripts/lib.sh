# shellcheck shell=bash
# What the build-and-run scripts share, sourced by them after they have
# changed to the repository's root. Sourcing it sets the EXIT trap that
# removes step's output file.

step_log=$(mktemp) || exit 1
trap 'rm -f "$step_log"' EXIT

# step TITLE COMMAND...: a build step, quiet unless it fails. A failing step
# shows the command's output, then "=== FAILED: TITLE" and, when the script
# has set it, the line in $step_failed_summary; it ends the script with
# status 1.
step() {
    local title=$1
    shift
    echo "=== $title"
    if ! "$@" >"$step_log" 2>&1; then
        cat "$step_log"
        echo "=== FAILED: $title"
        if [ -n "${step_failed_summary:-}" ]; then echo "$step_failed_summary"; fi
        exit 1
    fi
}
