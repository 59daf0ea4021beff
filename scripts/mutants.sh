#!/usr/bin/env bash
# Mutation sweeps against the whole debug suite: the hand-written mutants
# (tests/mutants.tsv) and a sample drawn by rule over src/ by the workplace's
# mutants-gen, which nobody chose. The mutation tool changes files in place,
# so the sweeps run in a worktree of their own at HEAD (build/mutants/tree,
# with its own build directory) and this checkout stays usable meanwhile.
#
#   mutants.sh                      both sweeps; the sample's seed is HEAD's short hash
#   mutants.sh --hand               the hand-written mutants only
#   mutants.sh --generated [SEED]   a generated sample only
#   options: --sample N (150), --jobs N (CTest's -j, 8: most cases wait on
#            sockets and clocks rather than compute)
#
# A generated survivor that tests/mutants-equivalent.tsv lists (matched by
# file and texts, so a listing holds for any seed that draws the same
# mutant) counts as equivalent: neither caught nor survived. The last lines
# give each sweep's score; the logs stay in build/mutants/. The tools are
# looked for in ../shared/tools, or in $VOREL_MUTATION_TOOLS.
#
# Not part of scripts/test.sh: on 2 cores a sweep of 150 takes two to three
# hours.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

tools=$(cd "${VOREL_MUTATION_TOOLS:-$PWD/../shared/tools}" 2>/dev/null && pwd)
run_hand=1
run_generated=1
seed=$(git rev-parse --short HEAD)
sample=150
jobs=8
while [ $# -gt 0 ]; do
    case "$1" in
        --hand) run_generated=0 ;;
        --generated)
            run_hand=0
            if [ $# -gt 1 ] && [ "${2#--}" = "$2" ]; then seed=$2; shift; fi ;;
        --sample) sample=$2; shift ;;
        --jobs) jobs=$2; shift ;;
        *) echo "usage: mutants.sh [--hand | --generated [SEED]] [--sample N] [--jobs N]" >&2
           exit 2 ;;
    esac
    shift
done
for tool in mutate mutants-gen; do
    if [ ! -x "$tools/$tool" ]; then
        echo "mutants.sh: $tools/$tool not found (set VOREL_MUTATION_TOOLS)" >&2
        exit 2
    fi
done
./scripts/install-deps.sh --native || exit 1

out=$PWD/build/mutants
tree=$out/tree
mkdir -p "$out"
# A fresh worktree at HEAD: the sweep measures what is committed.
if [ -d "$tree" ]; then git worktree remove --force "$tree" || exit 1; fi
git worktree add --detach "$tree" HEAD >/dev/null || exit 1
trap 'git worktree remove --force "$tree" >/dev/null 2>&1' EXIT
(cd "$tree" && cmake --preset debug >/dev/null && cmake --build build/debug -j2 >/dev/null) || {
    echo "mutants.sh: the unmutated tree does not build" >&2
    exit 1
}
ctest_args="-j$jobs --timeout 120 --stop-on-failure"

# score LOG MUTANTS [EQUIVALENTS]: the score line of one sweep.
score() {
    python3 - "$@" <<'EOF'
import sys
log, mutants = sys.argv[1], sys.argv[2]
equivalents = sys.argv[3] if len(sys.argv) > 3 else None
def rows(path):
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.strip() and not line.lstrip().startswith("#"):
            yield line.split("\t")
texts = {r[0]: tuple(r[1:4]) for r in rows(mutants)}
listed = {tuple(r[1:4]) for r in rows(equivalents)} if equivalents else set()
counts = {"CAUGHT": 0, "SURVIVED": 0, "EQUIVALENT": 0, "NOT-FOUND": 0, "NO-BUILD": 0}
survivors = []
for line in open(log, encoding="utf-8", errors="replace"):
    parts = line.split()
    if len(parts) < 2 or parts[0] not in counts:
        continue
    verdict, mid = parts[0], parts[1]
    if verdict == "SURVIVED" and texts.get(mid) in listed:
        verdict = "EQUIVALENT"
    elif verdict == "SURVIVED":
        survivors.append(mid)
    counts[verdict] += 1
judged = counts["CAUGHT"] + counts["SURVIVED"]
pct = f"{100 * counts['CAUGHT'] / judged:.1f}%" if judged else "n/a"
print(f"score {pct}: {counts['CAUGHT']} caught, {counts['SURVIVED']} survived, "
      f"{counts['EQUIVALENT']} equivalent, {counts['NOT-FOUND']} not found, "
      f"{counts['NO-BUILD']} did not build")
if survivors:
    print("survivors to read: " + ", ".join(survivors))
EOF
}

status=0
if [ "$run_hand" = 1 ]; then
    echo "=== hand-written mutants (tests/mutants.tsv)"
    (cd "$tree" && "$tools/mutate" tests/mutants.tsv --build build/debug \
        --ctest-args "$ctest_args") | tee "$out/hand.log"
    hand_score=$(score "$out/hand.log" tests/mutants.tsv)
    grep -q "^SURVIVED" "$out/hand.log" && status=1
fi
if [ "$run_generated" = 1 ]; then
    echo "=== generated sample: $sample mutants, seed $seed"
    # Drawn from the worktree, not from the files being edited here: the
    # sample is the one that mutants-gen gives at the commit swept.
    (cd "$tree" && "$tools/mutants-gen" src --sample "$sample" --seed "$seed") \
        >"$out/generated-$seed.tsv" || exit 1
    (cd "$tree" && "$tools/mutate" "$out/generated-$seed.tsv" --build build/debug \
        --ctest-args "$ctest_args") | tee "$out/generated-$seed.log"
    generated_score=$(score "$out/generated-$seed.log" "$out/generated-$seed.tsv" \
        tests/mutants-equivalent.tsv)
    echo "$generated_score" | grep -q "^survivors" && status=1
fi
echo
[ "$run_hand" = 1 ] && echo "hand-written: $hand_score"
[ "$run_generated" = 1 ] && echo "generated (seed $seed): $generated_score"
exit $status
