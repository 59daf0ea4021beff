# The verdict of one run of the allocation-failure sweep, read from the
# scenario's output, and the places in the library's sources that it names.
# Sourced by scripts/alloc-sweep.sh, and by tests/alloc_sweep_verdict_test.sh
# with outputs of its own. The caller sets:
#   build      the build directory that holds libVorel.so, libVorelCore.so
#              and libQuorvex.so (with their debug information)
#   repo       the source tree they were built from
#   run_limit  the seconds a run had before timeout ended it
# shellcheck shell=bash disable=SC2154

# where OBJECT OFFSET: "function (file:line)" of an offset in one of the
# build's libraries; "" when it is not in the library's own sources (the
# standard library's templates, say).
where() {
    local lines func file
    lines=$(addr2line -f -C -e "$build/$1" "$(printf '0x%x' $(($2 - 1)))" 2>/dev/null)
    func=$(sed -n 1p <<<"$lines")
    file=$(sed -n 2p <<<"$lines")
    case "$file" in
        "$repo"/src/* | "$repo"/include/*) ;;
        *) return 0 ;;
    esac
    func=${func//(anonymous namespace)::/}
    func=${func%%(*}
    func=${func%%\[abi:*}
    file=${file%% (*}
    echo "$func (${file##*/})"
}

# join WORDS...: the words joined with " < ", the caller first.
join() {
    local text="" word
    for word in "$@"; do
        text+="${text:+ < }$word"
    done
    echo "$text"
}

# site OUTPUT: the failed allocation, its kind and size and its first three
# callers in the library's sources; "" when the run did not reach it.
site() {
    local line kind frames=() frame object offset place
    line=$(grep -m 1 '^failing allocator: failed ' "$1") || return 0
    line=${line#failing allocator: failed }
    kind=${line%% #*}
    for frame in ${line#* at }; do
        object=${frame%+0x*}
        offset=${frame##*+}
        case "$object" in
            libVorel.so | libVorelCore.so | libQuorvex.so)
                place=$(where "$object" "$offset")
                [ -n "$place" ] && frames+=("$place")
                [ ${#frames[@]} -ge 3 ] && break
                ;;
        esac
    done
    echo "$kind in $(join "${frames[@]}")"
}

# leak OUTPUT: the first leak, with the library frames that allocated it.
# The library is unloaded when the check runs, so its frames show as
# "<unknown module>": they are found in the module lines printed before the
# unload.
leak() {
    local header addresses address frames=() name low high base place
    header=$(grep -m 1 -E '^(Direct|Indirect) leak of' "$1")
    addresses=$(awk '/^(Direct|Indirect) leak of/ {n++} n == 1 && /^ *#[0-9]+ 0x/ {print $2} n == 2 {exit}' "$1")
    for address in $addresses; do
        while read -r _ name low high base; do
            if ((address >= low && address < high)); then
                case "${name##*/}" in
                    libVorel.so | libVorelCore.so | libQuorvex.so)
                        place=$(where "${name##*/}" $((address - base + 1)))
                        [ -n "$place" ] && frames+=("$place")
                        ;;
                esac
                break
            fi
        done < <(grep '^module ' "$1")
        [ ${#frames[@]} -ge 2 ] && break
    done
    echo "leak: ${header% allocated from:}${frames[*]:+, allocated in $(join "${frames[@]}")}"
}

# verdict DIR RC: "pass" or the reasons of a failed run, one a line.
verdict() {
    local out=$1/out.txt rc=$2 found=0 line
    if grep -q 'ERROR: AddressSanitizer' "$out"; then
        # The kind, and the first frame in the library's sources.
        local kind func
        kind=$(grep -m 1 -o 'ERROR: AddressSanitizer: [a-z-]*' "$out")
        line=$(grep -m 1 -E "^ *#[0-9]+ 0x[0-9a-f]+ in .* $repo/src/" "$out")
        func=${line#* in }
        echo "ASan ${kind##*: }${line:+ in ${func%%(*} (${line##*/})}"
        found=1
    fi
    if grep -q 'runtime error:' "$out"; then
        echo "UBSan: $(grep -m 1 'runtime error:' "$out" | sed 's|^.*/src/|src/|')"
        found=1
    fi
    if grep -q 'ERROR: LeakSanitizer' "$out"; then
        leak "$out"
        found=1
    fi
    if grep -q '^HANG: ' "$out"; then
        echo "hang: $(grep -m 1 '^HANG: ' "$out" | cut -c7-) (step: $(grep '^step: ' "$out" | tail -n 1 | cut -c7-))"
        found=1
    elif [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
        echo "hang: no end within $run_limit s (step: $(grep '^step: ' "$out" | tail -n 1 | cut -c7-))"
        found=1
    elif [ "$rc" -gt 128 ] && [ "$found" = 0 ]; then
        line=$(grep -m 1 -E "^terminate called|what\\(\\)" "$out")
        echo "crash: signal $((rc - 128))${line:+, $line} (step: $(grep '^step: ' "$out" | tail -n 1 | cut -c7-))"
        found=1
    fi
    if grep -q '^PROBLEM: ' "$out"; then
        # A library that does not work again first, then the others; each
        # text once, at most four.
        local problems shown
        problems=$(grep '^PROBLEM: ' "$out" | cut -c10- | awk '!seen[$0]++')
        shown=$( (grep '^not working again: ' <<<"$problems"; grep -v '^not working again: ' <<<"$problems") | head -n 4)
        echo "$shown"
        if [ "$(wc -l <<<"$problems")" -gt 4 ]; then
            echo "... and $(($(wc -l <<<"$problems") - 4)) more problems"
        fi
        found=1
    fi
    if [ "$found" = 0 ] && { [ "$rc" != 0 ] || ! grep -q '^RESULT: passed' "$out"; }; then
        echo "exit status $rc: $(grep -m 1 '^RESULT: ' "$out")"
        found=1
    fi
    [ "$found" = 0 ] && echo pass
}
