#!/bin/bash
# Plants the faults listed in faults.txt, one at a time, in a scratch copy of the tree, builds
# the tests that the fault's folder can affect and runs them. A fault the tests do not notice
# is a blind spot: it needs a test, or a note in the list saying why no test can see it.
#
#   tests/mutants/run.sh             (or `make mutants`)
#   tests/mutants/run.sh --check     only checks that every snippet is still found once (no build)
#   MUTANTS_FILTER=regex             only the faults whose "file title" matches (grep -E)
#   MUTANTS_WORK=dir                 scratch folder (default /tmp/tarnel-mutants-UID-HASH); the
#                                    copy and its build are kept there, so a second run only
#                                    rebuilds what changed
#   JOBS=n                           build and test jobs (default 2)
#   MUTANTS_TIMEOUT=s                per test case (default 120): a hang counts as caught
#
# The source tree is never touched: the copy is refreshed from it (tracked and untracked files,
# what git ignores left out) and only the copy is changed. Tests run with TEST_TMPDIR inside the
# scratch folder, so their files land there too. Exit status 1 when a fault survived without a
# note, a snippet is stale, or a fault does not build.
set -euo pipefail

root=${MUTANTS_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
list=$root/tests/mutants/faults.txt
filter=${MUTANTS_FILTER:-}
jobs=${JOBS:-2}
timeout=${MUTANTS_TIMEOUT:-120}
work=${MUTANTS_WORK:-/tmp/tarnel-mutants-$(id -u)-$(printf %s "$root" | cksum | cut -d' ' -f1)}
case $work in
/ | /tmp | /tmp/ | "$root" | "$root"/*) echo "mutants: unsafe scratch folder: $work" >&2; exit 2 ;;
esac
# Runs from a copy of itself, so that editing the script during a run cannot derail it (bash
# reads a script as it goes); the copy is unlinked at once, bash keeps it open.
if [ -z "${MUTANTS_COPY:-}" ]; then
    mkdir -p "$work"
    copy=$(mktemp "$work/run.XXXXXX")
    cp "$0" "$copy"
    MUTANTS_COPY=$copy MUTANTS_ROOT=$root exec bash "$copy" "$@"
fi
rm -f "$MUTANTS_COPY"
src=$work/src
build=$work/build
logs=$work/logs
say() { printf '%s\n' "$*"; }

# ---- The scratch copy -------------------------------------------------------------------

# Copies what differs from the source tree (a new modification time, so it is rebuilt) and
# removes what the tree no longer has; an unchanged file keeps its time and its objects.
sync_copy() {
    local files=$work/files
    if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$root" && git ls-files --cached --others --exclude-standard) >"$files.all"
    else
        (cd "$root" && find . -type f ! -path './build*' ! -path './out/*' ! -path './.git/*' |
            sed 's|^\./||') >"$files.all"
    fi
    : >"$files"
    while IFS= read -r f; do
        [ -f "$root/$f" ] || continue
        printf '%s\n' "$f" >>"$files"
        if ! cmp -s "$root/$f" "$src/$f"; then
            mkdir -p "$(dirname "$src/$f")"
            cp "$root/$f" "$src/$f"
        fi
    done <"$files.all"
    sort -o "$files" "$files"
    (cd "$src" && find . -type f | sed 's|^\./||' | sort) | comm -13 "$files" - |
        while IFS= read -r f; do rm -f "$src/$f"; done
}

# ---- Which tests a folder can affect ----------------------------------------------------

# Test executables (= ctest labels) for a fault in `folder`: the tests of every layer that
# links it.
tests_for() {
    local folder=$1 dirs names=""
    local pattern='.*'
    case $folder in
    dsp | tables | lpc | excitation | cng | codec) dirs="codec module tool" ;;
    host) dirs="host module tool" ;;
    module) dirs="module host tool" ;;
    media) dirs="tool codec" pattern='^test_(media|capture|tarnel)_|^test_concealment$' ;;
    capture) dirs="tool" pattern='^test_(capture|tarnel)_' ;;
    driver | tools) dirs="tool" pattern='^test_tarnel_' ;;
    *) return 1 ;;
    esac
    local d f
    for d in $dirs; do
        for f in "$src"/tests/"$d"/test_*.cpp; do
            [ -e "$f" ] || continue
            f=$(basename "$f" .cpp)
            if printf '%s\n' "$f" | grep -Eq "$pattern"; then names="$names $f"; fi
        done
    done
    printf '%s\n' "${names# }"
}

# ---- Planting ---------------------------------------------------------------------------

# Writes `file` with the one occurrence of $M_FIND replaced by $M_INTO to stdout (nothing with
# M_COUNT_ONLY set); exits 3 when the snippet is missing, 4 when it is there more than once
# (literal text, no patterns).
replace_once() {
    awk 'BEGIN { f = ENVIRON["M_FIND"]; r = ENVIRON["M_INTO"]; n = 0 }
    {
        line = $0; out = ""
        while ((i = index(line, f)) > 0) {
            n++
            out = out substr(line, 1, i - 1) (n == 1 ? r : f)
            line = substr(line, i + length(f))
        }
        if (!ENVIRON["M_COUNT_ONLY"]) print out line
    }
    END { exit n == 1 ? 0 : (n == 0 ? 3 : 4) }' "$1"
}

planted=""  # the file of the scratch copy that currently holds a fault
restore() {
    if [ -n "$planted" ]; then
        cp "$work/original" "$src/$planted"
        planted=""
    fi
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

configure() {
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$logs/configure.log" 2>&1 ||
            { cat "$logs/configure.log" >&2; exit 2; }
    fi
}

build_targets() {  # targets... ; log file in $build_log
    # shellcheck disable=SC2086
    cmake --build "$build" -j"$jobs" --target "$@" >"$build_log" 2>&1
}

run_tests() {  # labels... ; log file in $test_log; returns ctest's status
    local regex
    regex="^($(printf '%s|' "$@" | sed 's/|$//'))\$"
    TEST_TMPDIR=$work/tmp/ TMPDIR=$work/tmp ctest --test-dir "$build" -L "$regex" -j"$jobs" \
        --timeout "$timeout" --stop-on-failure --output-on-failure >"$test_log" 2>&1
}

first_failure() {
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\|SEGFAULT\|Subprocess aborted\|Exception\|.*\))$/\1/p' \
        "$test_log" | head -1
}

# ---- The list ---------------------------------------------------------------------------

# Records: "fault:" starts one; "file:", "find:", "into:" and the optional "why:" follow.
declare -a f_title=() f_file=() f_find=() f_into=() f_why=()
read_list() {
    local line key value n=-1
    while IFS= read -r line || [ -n "$line" ]; do
        case $line in
        '#'* | '') continue ;;
        esac
        key=${line%%:*}
        value=${line#*:}
        value=${value#"${value%%[! ]*}"}
        case $key in
        fault)
            n=$((n + 1))
            f_title[n]=$value f_file[n]="" f_find[n]="" f_into[n]="" f_why[n]="" ;;
        file | find | into | why)
            [ "$n" -ge 0 ] || { echo "mutants: $list: '$key:' before the first 'fault:'" >&2; exit 2; }
            case $key in
            file) f_file[n]=$value ;;
            find) f_find[n]=$value ;;
            into) f_into[n]=$value ;;
            why) f_why[n]=$value ;;
            esac ;;
        *) echo "mutants: $list: unknown line: $line" >&2; exit 2 ;;
        esac
    done <"$list"
}

read_list

if [ "${1:-}" = --check ]; then
    bad=0
    for i in "${!f_title[@]}"; do
        status=0
        if [ ! -f "$root/${f_file[i]}" ]; then
            status=3
        else
            M_FIND=${f_find[i]} M_INTO= M_COUNT_ONLY=1 replace_once "$root/${f_file[i]}" || status=$?
        fi
        case $status in
        0) ;;
        3) say "stale: ${f_file[i]}: ${f_title[i]} (not found)"; bad=$((bad + 1)) ;;
        *) say "stale: ${f_file[i]}: ${f_title[i]} (found more than once)"; bad=$((bad + 1)) ;;
        esac
    done
    say "mutants: ${#f_title[@]} faults listed, $bad stale"
    [ "$bad" -eq 0 ]
    exit
fi

mkdir -p "$src" "$logs" "$work/tmp"
exec 9>"$work/lock"
flock -n 9 || { echo "mutants: another run is using $work" >&2; exit 2; }
sync_copy
configure

selected=()
for i in "${!f_title[@]}"; do
    if [ -z "${f_file[i]}" ] || [ -z "${f_find[i]}" ]; then
        echo "mutants: fault '${f_title[i]}' lacks its file or its snippet" >&2
        exit 2
    fi
    if [ -n "$filter" ] && ! printf '%s %s\n' "${f_file[i]}" "${f_title[i]}" | grep -Eq -- "$filter"; then
        continue
    fi
    selected+=("$i")
done
total=${#selected[@]}
[ "$total" -gt 0 ] || { say "mutants: no fault matches '$filter'"; exit 2; }

# The unchanged tree must pass the tests every selected fault will run, or a catch means nothing.
all_tests=""
for i in "${selected[@]}"; do
    all_tests="$all_tests $(tests_for "${f_file[i]%%/*}" || true)"
done
# shellcheck disable=SC2086
all_tests=$(printf '%s\n' $all_tests | sort -u | tr '\n' ' ')
say "mutants: $total fault(s); scratch copy and build in $work"
say "mutants: building and running the unchanged tree's tests ..."
build_log=$logs/baseline.build.log
test_log=$logs/baseline.test.log
# shellcheck disable=SC2086
build_targets $all_tests || { say "mutants: the unchanged tree does not build (see $build_log)"; exit 2; }
# shellcheck disable=SC2086
run_tests $all_tests || { say "mutants: the unchanged tree fails its tests (see $test_log)"; exit 2; }

caught=0 survived=0 explained=0 stale=0 broken=0
report_survived="" report_explained="" report_stale="" report_broken="" report_noted=""
k=0
for i in "${selected[@]}"; do
    k=$((k + 1))
    file=${f_file[i]} title=${f_title[i]}
    tag=$(printf '[%2d/%d] %s: %s' "$k" "$total" "$file" "$title")
    build_log=$logs/$k.build.log
    test_log=$logs/$k.test.log
    detail=$(printf '    %s: %s\n      find: %s\n      into: %s' "$file" "$title" "${f_find[i]}" "${f_into[i]}")

    tests=$(tests_for "${file%%/*}") || {
        say "$tag  -- no tests known for this folder"
        broken=$((broken + 1)); report_broken+="$detail"$'\n      (no tests known for the folder)\n'
        continue
    }
    if [ ! -f "$src/$file" ]; then
        say "$tag  STALE (no such file)"
        stale=$((stale + 1)); report_stale+="$detail"$'\n      (no such file)\n'
        continue
    fi
    cp "$src/$file" "$work/original"
    status=0
    M_FIND=${f_find[i]} M_INTO=${f_into[i]} replace_once "$src/$file" >"$work/planted" || status=$?
    if [ "$status" -ne 0 ]; then
        why=$([ "$status" -eq 3 ] && echo "snippet not found" || echo "snippet found more than once")
        say "$tag  STALE ($why)"
        stale=$((stale + 1)); report_stale+="$detail"$'\n'"      ($why)"$'\n'
        continue
    fi
    planted=$file
    cp "$work/planted" "$src/$file"

    # shellcheck disable=SC2086
    if ! build_targets $tests; then
        if grep -q 'static assert\|static_assert' "$build_log"; then
            say "$tag  caught (by the build: a static assertion)"
            caught=$((caught + 1))
        else
            say "$tag  BROKEN (does not build; see $build_log)"
            broken=$((broken + 1)); report_broken+="$detail"$'\n'
        fi
        restore
        continue
    fi
    # shellcheck disable=SC2086
    if run_tests $tests; then
        if grep -q 'No tests were found' "$test_log"; then
            say "$tag  BROKEN (no tests ran; see $test_log)"
            broken=$((broken + 1)); report_broken+="$detail"$'\n'
        elif [ -n "${f_why[i]}" ]; then
            say "$tag  explained (${f_why[i]})"
            explained=$((explained + 1)); report_explained+="$detail"$'\n'"      why: ${f_why[i]}"$'\n'
        else
            say "$tag  SURVIVED"
            survived=$((survived + 1)); report_survived+="$detail"$'\n'
        fi
    else
        by=$(first_failure)
        say "$tag  caught${by:+ by $by}"
        caught=$((caught + 1))
        if [ -n "${f_why[i]}" ]; then report_noted+="    $file: $title"$'\n'; fi
    fi
    restore
done

say ""
if [ -n "$report_survived" ]; then say "Survived: the tests missed these faults"; printf '%s' "$report_survived"; fi
if [ -n "$report_stale" ]; then say "Stale: update these entries to the code"; printf '%s' "$report_stale"; fi
if [ -n "$report_broken" ]; then say "Broken: these faults do not build"; printf '%s' "$report_broken"; fi
if [ -n "$report_noted" ]; then say "Caught although the list says they cannot be (drop the 'why:'):"; printf '%s' "$report_noted"; fi
say "mutants: $caught caught, $survived survived, $explained explained, $stale stale, $broken broken (of $total)"
[ "$survived" -eq 0 ] && [ "$stale" -eq 0 ] && [ "$broken" -eq 0 ]
