#!/bin/bash
# Mutation check: applies each fault of scripts/mutants.txt to src/ on its own, builds in
# build-mutants/, runs the fast tests and counts the faults the suite catches.
#
#   scripts/mutants.sh                     every mutant
#   scripts/mutants.sh --only M001 M017    these mutants
#   scripts/mutants.sh --file src/kv830data.cpp
#   scripts/mutants.sh --list              mutants per file against the file's share; stale ones
#   scripts/mutants.sh --compare OLD NEW   mutants caught in result file OLD but not in NEW
#
# Options: --data FILE (another list than scripts/mutants.txt), --out FILE (result file,
# default build-mutants/mutants-<time>.tsv, also copied to build-mutants/mutants-last.tsv),
# --timeout SECONDS (per test, default 60; a timeout counts as caught), --no-baseline (skip the
# test run on unchanged sources).
# Environment: MUTANTS_EXCLUDE_LABELS (ctest -LE, default "e2e|wine|hidguest|package"),
# MUTANTS_TESTS (ctest -R: only these tests, for a quick look at one area; a full run leaves it
# unset), MUTANTS_BUILD (build folder, default build-mutants), MUTANTS_JOBS (default 2),
# MUTANTS_TIMEOUT (as --timeout).
#
# Every touched file is restored from a pristine copy in build-mutants/backup/, also when the run
# is interrupted; a backup left by a killed run is put back before anything else happens.
set -u

cd "$(dirname "$0")/.." || exit 2
root=$PWD
. "$root/scripts/lib/need.sh"
need python3 git cmake ninja
data=scripts/mutants.txt
build=${MUTANTS_BUILD:-build-mutants}
tests_only=${MUTANTS_TESTS:-}
backup=$build/backup
exclude=${MUTANTS_EXCLUDE_LABELS:-e2e|wine|hidguest|package}
jobs=${MUTANTS_JOBS:-2}
timeout=${MUTANTS_TIMEOUT:-60}
baseline=1
mode=run
out=
only=()
files=()

die() {
    echo "mutants: $*" >&2
    exit 2
}

# The data file, the share table, the edit of one mutant and the comparison of two runs.
py() {
    python3 - "$@" <<'PY'
import os, subprocess, sys

def load(path):
    mutants, seen = [], set()
    with open(path, encoding='utf-8') as f:
        for n, line in enumerate(f, 1):
            line = line.rstrip('\n')
            if not line.strip() or line.startswith('#'):
                continue
            fields = line.split('\t')
            if len(fields) != 7:
                sys.exit(f'{path}:{n}: {len(fields)} tab-separated fields, expected 7')
            mid, file, occ, kind, find, repl, desc = fields
            if mid in seen:
                sys.exit(f'{path}:{n}: duplicate id {mid}')
            if not occ.isdigit() or int(occ) < 1:
                sys.exit(f'{path}:{n}: occurrence must be 1 or more, not {occ!r}')
            if find == repl or not find:
                sys.exit(f'{path}:{n}: {mid}: the replacement must differ from a non-empty snippet')
            seen.add(mid)
            mutants.append(dict(id=mid, file=file, occ=int(occ), kind=kind, find=find, repl=repl, desc=desc))
    return mutants

def locate(text, find, occ):
    at = -1
    for _ in range(occ):
        at = text.find(find, at + 1)
        if at < 0:
            return -1
    return at

def sources():
    out = subprocess.run(['git', 'ls-files', 'src'], capture_output=True, text=True, check=True).stdout.split()
    return sorted(p for p in out if p.endswith(('.cpp', '.h', '.qml')))

def nonblank(path):
    with open(path, encoding='utf-8') as f:
        return sum(1 for l in f if l.strip())

cmd, args = sys.argv[1], sys.argv[2:]
if cmd == 'select':
    # select DATA [--only IDS...] [--file PATHS...]: the chosen ids, one a line
    mutants = load(args[0])
    ids, paths, cur = [], [], None
    for a in args[1:]:
        if a in ('--only', '--file'):
            cur = a
        elif cur == '--only':
            ids.append(a)
        elif cur == '--file':
            paths.append(os.path.normpath(a))
    known = {m['id'] for m in mutants}
    for i in ids:
        if i not in known:
            sys.exit(f'no mutant {i} in {args[0]}')
    for m in mutants:
        if (not ids and not paths) or m['id'] in ids or os.path.normpath(m['file']) in paths:
            print(m['id'])
elif cmd == 'file':
    print(next(m for m in load(args[0]) if m['id'] == args[1])['file'])
elif cmd == 'apply':
    # apply DATA ID: edits the file; prints file, line, kind, description; exit 3 when stale
    m = next(m for m in load(args[0]) if m['id'] == args[1])
    print(m['file'], end='\t')
    try:
        with open(m['file'], encoding='utf-8') as f:
            text = f.read()
    except FileNotFoundError:
        print('0', m['kind'], m['desc'], sep='\t')
        sys.exit(3)
    at = locate(text, m['find'], m['occ'])
    line = text.count('\n', 0, at) + 1 if at >= 0 else 0
    print(line, m['kind'], m['desc'], sep='\t')
    if at < 0:
        sys.exit(3)
    with open(m['file'], 'w', encoding='utf-8') as f:
        f.write(text[:at] + m['repl'] + text[at + len(m['find']):])
elif cmd == 'list':
    mutants = load(args[0])
    files = sources()
    lines = {p: nonblank(p) for p in files}
    total = sum(lines.values())
    per = {p: 0 for p in files}
    stale = []
    for m in mutants:
        per[m['file']] = per.get(m['file'], 0) + 1
        text = open(m['file'], encoding='utf-8').read() if os.path.exists(m['file']) else ''
        if locate(text, m['find'], m['occ']) < 0:
            stale.append(m)
    if args[1:] == ['--all']:
        for m in mutants:
            print(f"{m['id']}\t{m['file']}\t{m['kind']}\t{m['desc']}")
        print()
    print(f"{'file':44} {'lines':>5} {'share':>6} {'due':>5} {'mutants':>7}")
    for p in sorted(per):
        n = lines.get(p, 0)
        share = n / total if total else 0
        flag = '' if p in lines else '  (not a source file of src/)'
        print(f"{p:44} {n:5} {100 * share:5.1f}% {share * len(mutants):5.1f} {per[p]:7}{flag}")
    print(f"{'total':44} {total:5} {100.0:5.1f}% {len(mutants):5} {len(mutants):7}")
    kinds = {}
    for m in mutants:
        kinds[m['kind']] = kinds.get(m['kind'], 0) + 1
    print('kinds: ' + ', '.join(f'{k} {v}' for k, v in sorted(kinds.items())))
    for m in stale:
        print(f"stale: {m['id']} {m['file']}: snippet {m['find']!r} (occurrence {m['occ']}) not found")
elif cmd == 'compare':
    def read(path):
        rows = {}
        with open(path, encoding='utf-8') as f:
            for line in f:
                fields = line.rstrip('\n').split('\t')
                if fields[0] != 'id' and len(fields) >= 2:
                    rows[fields[0]] = fields
        return rows
    old, new = read(args[0]), read(args[1])
    lost = [i for i in old if old[i][1] == 'caught' and i in new and new[i][1] != 'caught']
    gained = [i for i in new if new[i][1] == 'caught' and i in old and old[i][1] != 'caught']
    print(f'caught in {args[0]} but not in {args[1]}: {len(lost)}')
    for i in lost:
        r = new[i]
        print(f'  {i}\t{r[1]}\t{r[2]}:{r[3]}\t{r[7] if len(r) > 7 else ""}')
    print(f'caught in {args[1]} but not in {args[0]}: {len(gained)}')
    for i in gained:
        r = new[i]
        print(f'  {i}\t{r[2]}:{r[3]}\t{r[7] if len(r) > 7 else ""}')
    missing = [i for i in old if i not in new]
    if missing:
        print(f'not run in {args[1]}: ' + ' '.join(missing))
    sys.exit(1 if lost else 0)
PY
}

while [ $# -gt 0 ]; do
    case $1 in
    --list) mode=list ;;
    --list-all) mode=list-all ;;
    --compare)
        [ $# -ge 3 ] || die "--compare needs OLD and NEW result files"
        py compare "$2" "$3"
        exit $?
        ;;
    --only | --file)
        opt=$1
        shift
        [ $# -gt 0 ] && [ "${1#--}" = "$1" ] || die "$opt needs at least one value"
        while [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; do
            if [ "$opt" = --only ]; then only+=("$1"); else files+=("$1"); fi
            shift
        done
        continue
        ;;
    --out)
        out=${2:?--out needs a file}
        shift
        ;;
    --data)
        data=${2:?--data needs a file}
        shift
        ;;
    --timeout)
        timeout=${2:?--timeout needs seconds}
        shift
        ;;
    --no-baseline) baseline=0 ;;
    -h | --help)
        sed -n '2,/^[^#]/p' "$0" | grep '^#' | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *) die "unknown option $1 (see --help)" ;;
    esac
    shift
done

[ -d "$backup" ] && echo "mutants: $backup holds files of an interrupted run; the next run puts them back first" >&2
case $mode in
list) py list "$data"; exit $? ;;
list-all) py list "$data" --all; exit $? ;;
esac

# The trap may fire inside a redirected command: its lines go to the run's own stderr.
exec 8>&2
mkdir -p "$build"
exec 9>"$build/.lock"
flock -n 9 || die "another mutation run holds $build/.lock"

# Puts back every file a mutant touched, from the pristine copies.
restore() {
    [ -d "$backup" ] || return 0
    local saved
    while IFS= read -r -d '' saved; do
        local rel=${saved#"$backup"/}
        # A plain copy, not cp -p: the restored file must be newer than the mutant's objects.
        cp -- "$saved" "$rel" && rm -f -- "$saved"
        echo "mutants: restored $rel" >&8
    done < <(find "$backup" -type f -print0)
    rm -rf -- "$backup"
}

if [ -d "$backup" ]; then
    echo "mutants: a backup of an interrupted run is still there; putting it back first" >&2
    restore
fi
git diff --quiet -- src && git diff --cached --quiet -- src \
    || die "src/ has uncommitted changes; commit or stash them first (mutants are applied to clean sources)"
[ -z "$(git ls-files --others --exclude-standard -- src)" ] || die "src/ has untracked files; the share table would not match"

child=
stop_child() {
    if [ -n "$child" ]; then
        kill -TERM -- "-$child" 2>/dev/null || kill -TERM "$child" 2>/dev/null
        wait "$child" 2>/dev/null
        child=
    fi
}
on_signal() {
    echo "mutants: interrupted; restoring the sources" >&8
    stop_child
    restore
    exit 130
}
trap on_signal INT TERM
trap 'stop_child; restore' EXIT

# Runs a command in a process group of its own, so that an interrupt can end all of it and the
# trap runs at once rather than after the command.
run() {
    setsid "$@" &
    child=$!
    wait "$child"
    local rc=$?
    child=
    return $rc
}

if [ ! -f "$build/CMakeCache.txt" ]; then
    run cmake --preset mutants -B "$build" >"$build/configure.log" 2>&1 \
        || die "configure failed, see $build/configure.log"
fi

build_all() { run cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1; }
run_tests() {
    rm -f "$build/Testing/Temporary/LastTestsFailed.log"
    # The per-test timeout covers the tests without one of their own; the whole run gets five.
    # No subshell: the trap must see the child to end it.
    run timeout $((timeout * 5)) ctest --test-dir "$build" -LE "$exclude" ${tests_only:+-R "$tests_only"} -j "$jobs" \
        --timeout "$timeout" --stop-on-failure >"$build/test.log" 2>&1
}
# Whether the build reads the file: ninja knows every source and, from the dependency log of
# the last build, every header and every file a resource bundle holds.
in_build() {
    [ -f "$build/build.ninja" ] || return 0
    # Headers are known by the path the compiler was given: absolute, or relative to the build
    # folder (as with ccache's base_dir).
    ninja -C "$build" -t query "$root/$1" >/dev/null 2>&1 \
        || ninja -C "$build" -t query "$(realpath -m --relative-to="$build" "$root/$1")" >/dev/null 2>&1
}
failed_tests() {
    local f=$build/Testing/Temporary/LastTestsFailed.log
    [ -f "$f" ] && cut -d: -f2 "$f" | paste -sd, - || echo "suite timeout"
}

mapfile -t ids < <(py select "$data" --only "${only[@]}" --file "${files[@]}") || exit 2
[ ${#ids[@]} -gt 0 ] || die "no mutant selected"
stamp=$(date +%Y%m%d-%H%M%S)
[ -n "$out" ] || out=$build/mutants-$stamp.tsv

echo "mutants: building $build on unchanged sources"
build_all || die "the unchanged sources do not build, see $build/build.log"
if [ $baseline = 1 ]; then
    start=$(date +%s)
    run_tests || die "the fast tests fail on unchanged sources, see $build/test.log"
    echo "mutants: baseline passes ($(($(date +%s) - start)) s); ${#ids[@]} mutants, tests: all but labels" \
        "$exclude${tests_only:+, only $tests_only}"
fi

printf 'id\tstatus\tfile\tline\tkind\tseconds\ttests\tdescription\n' >"$out"
declare -A count=([caught]=0 [survived]=0 [stale]=0 [build-failed]=0 [unbuilt]=0)
survivors=()
n=0
for id in "${ids[@]}"; do
    n=$((n + 1))
    start=$(date +%s)
    file=$(py file "$data" "$id")
    mkdir -p "$backup/$(dirname "$file")"
    [ -f "$file" ] && cp -- "$file" "$backup/$file"
    info=$(py apply "$data" "$id")
    rc=$?
    IFS=$'\t' read -r file line kind desc <<<"$info"
    tests=
    if [ $rc = 3 ]; then
        status=stale
    elif [ $rc != 0 ]; then
        die "cannot apply $id"
    elif ! in_build "$file"; then
        # Not compiled here (the Windows hooks on Linux): the tests cannot judge it.
        status=unbuilt
    elif ! build_all; then
        status="build-failed"
        cp "$build/build.log" "$build/build-$id.log"
    elif run_tests; then
        status=survived
    else
        status=caught
        tests=$(failed_tests)
    fi
    restore 8>/dev/null
    secs=$(($(date +%s) - start))
    count[$status]=$((count[$status] + 1))
    [ $status = survived ] && survivors+=("$id	$file:$line	$desc")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$status" "$file" "$line" "$kind" "$secs" "$tests" "$desc" >>"$out"
    printf '[%d/%d] %-6s %-12s %s:%s %s (%d s)%s\n' "$n" "${#ids[@]}" "$id" "$status" "$file" "$line" "$desc" \
        "$secs" "${tests:+ by $tests}"
done

[ "$out" = "$build/mutants-last.tsv" ] || cp "$out" "$build/mutants-last.tsv"
judged=$((count[caught] + count[survived]))
echo
echo "caught ${count[caught]} of $judged ($((judged ? 100 * count[caught] / judged : 0)) %);" \
    "survived ${count[survived]}, stale ${count[stale]}, build-failed ${count[build-failed]}, unbuilt ${count[unbuilt]}"
if [ ${#survivors[@]} -gt 0 ]; then
    echo "survived:"
    printf '  %s\n' "${survivors[@]}"
fi
echo "result: $out"
