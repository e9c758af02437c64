#!/usr/bin/env bash
# Mutants: each patch in tests/mutants/ plants one real fault. This script copies the tree into a
# scratch folder, applies each patch there on its own, rebuilds incrementally (ccache), runs the
# tests the patch names, and expects at least one of them to fail. It exits 1 when a mutant
# survives (every named test passes), when a patch no longer applies to the code, or when a
# mutant does not build; it prints a table of mutant, outcome, the tests that failed and the time.
#
#   bash scripts/mutants.sh              # every mutant
#   bash scripts/mutants.sh --ci         # the mutants marked "CI: yes"
#   bash scripts/mutants.sh M1 M4        # the mutants whose file name begins so
#   bash scripts/mutants.sh --list       # the mutants with their tests
#   --no-baseline                        # skip the first run of the named tests without a mutant
#
# A patch begins with a header that git apply ignores, then a unified diff against the tree:
#   Mutant: <one line: the fault>
#   Tests: tst_a tst_b          (the CTest names that must catch it)
#   CI: yes                     (optional)
# Scratch tree and build: ${QUILLO_MUTANT_DIR:-build-mutants} (kept between runs, so only what a
# mutant touches is rebuilt; the copy is refreshed from the tree by content on every run).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=${QUILLO_MUTANT_DIR:-build-mutants}
case $work in /*) ;; *) work=$root/$work ;; esac
# The copy's build folder sits where the tree's own does (build/ at its top), so that with the
# same base folder for ccache (see scripts/build.sh) every file a mutant leaves alone is a cache
# hit of the tree's own build: in CI the scratch build is then mostly links.
src=$work/tree
bld=$src/build
jobs=${QUILLO_JOBS:-$(nproc)}
# Programs the tests start besides themselves; built with the tests.
runtime_targets=(quillo quillo-server prefs_probe)

ci_only=0
list_only=0
baseline=1
selected=()
for arg in "$@"; do
    case $arg in
        --ci) ci_only=1 ;;
        --list) list_only=1 ;;
        --no-baseline) baseline=0 ;;
        -h | --help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) selected+=("$arg") ;;
    esac
done

header() { # $1 patch, $2 field
    sed -n "s/^$2:[[:space:]]*//p" "$1" | head -n 1
}

patches=()
for patch in tests/mutants/*.patch; do
    name=$(basename "$patch" .patch)
    if [ ${#selected[@]} -gt 0 ]; then
        keep=0
        for s in "${selected[@]}"; do [[ $name == "$s"* ]] && keep=1; done
        [ $keep = 1 ] || continue
    fi
    if [ $ci_only = 1 ] && [ "$(header "$patch" CI)" != yes ]; then
        continue
    fi
    if [ -z "$(header "$patch" Tests)" ]; then
        echo "mutants: $patch names no tests (a \"Tests:\" line)" >&2
        exit 2
    fi
    patches+=("$patch")
done
if [ ${#patches[@]} -eq 0 ]; then
    echo "mutants: no mutant selected" >&2
    exit 2
fi

if [ $list_only = 1 ]; then
    for patch in "${patches[@]}"; do
        printf '%-44s %-40s %s\n' "$(basename "$patch" .patch)" "$(header "$patch" Tests)" "$(header "$patch" Mutant)"
    done
    exit 0
fi

# The scratch copy: every tracked and new file of the tree, copied only when its content differs,
# so that unchanged files keep their time stamps and the build stays incremental. A file a
# previous run left mutated (an interrupted run) differs and is copied back.
sync_tree() {
    mkdir -p "$src"
    local file
    declare -A present=()
    while IFS= read -r -d '' file; do
        [ -f "$file" ] || continue
        present[$file]=1
        if [ ! -e "$src/$file" ]; then
            # A new copy keeps the file's time: rcc writes the times of the files it packs into
            # the code it makes, which would otherwise never match the tree's build in ccache.
            mkdir -p "$src/$(dirname "$file")"
            cp -p "$file" "$src/$file"
        elif ! cmp -s "$file" "$src/$file"; then
            cp "$file" "$src/$file" # a changed file gets a new time, so that it is rebuilt
        fi
    done < <(git ls-files -z --cached --others --exclude-standard)
    # Files the tree no longer has go from the copy too (a globbed source would still be built).
    while IFS= read -r -d '' file; do
        file=${file#"$src"/}
        [ -n "${present[$file]:-}" ] || rm -f "$src/$file"
    done < <(find "$src" -path "$bld" -prune -o -type f -print0)
}

configure() {
    [ -f "$bld/CMakeCache.txt" ] && return 0
    local options=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLO_BENCH=OFF)
    if [ "${CI:-}" = "true" ]; then
        options+=(-DQUILLO_WERROR=ON) # as scripts/build.sh configures, so the flags match
    fi
    if command -v ccache >/dev/null 2>&1; then
        options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$src" -B "$bld" "${options[@]}" ${QUILLO_CMAKE_OPTIONS:-} >"$work/configure.log" 2>&1 || {
        cat "$work/configure.log" >&2
        return 1
    }
}

# Names the tests of a patch that exist in this build (a GUI test is absent with QUILLO_GUI=OFF).
known_tests() {
    local t
    for t in $1; do
        if grep -q "add_test(\[=\[$t\]=\]\|add_test($t " -r "$bld/tests" --include=CTestTestfile.cmake 2>/dev/null; then
            echo "$t"
        fi
    done
}

start=$(date +%s)
sync_tree
configure || exit 1
# The same base as scripts/build.sh's: paths below it are hashed relative to the build folder.
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1

# Every named test target, built and (unless --no-baseline) run once unmutated: a mutant's build
# then only redoes what it touches, and a test that fails already would make a mutant look caught.
all_tests=$(for patch in "${patches[@]}"; do header "$patch" Tests; done | tr ' ' '\n' | sort -u | tr '\n' ' ')
echo "mutants: building ${runtime_targets[*]} $all_tests"
# shellcheck disable=SC2086
if ! cmake --build "$bld" --parallel "$jobs" --target "${runtime_targets[@]}" $all_tests >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    echo "mutants: the unmutated tree does not build" >&2
    exit 1
fi
# git apply inside the scratch folder, which lies in this repository: without the ceiling, git
# would find the repository above and ignore every path outside the current folder.
scratch_apply() {
    (cd "$src" && GIT_CEILING_DIRECTORIES=$work git apply "$@")
}
failed_tests() { # the CTest names a log reports as failed
    sed -n 's/^[[:space:]]*[0-9]* - \(tst_[A-Za-z0-9_]*\) (.*/\1/p' "$1" | sort -u | tr '\n' ' '
}
if [ $baseline = 1 ]; then
    regex="^($(echo $all_tests | tr ' ' '|'))\$"
    ctest --test-dir "$bld" -R "$regex" --output-on-failure --parallel "$jobs" >"$work/baseline.log" 2>&1
    broken=$(failed_tests "$work/baseline.log")
    if [ -n "$broken" ]; then
        echo "mutants: without a mutant these fail already: $broken(see $work/baseline.log)" >&2
        exit 1
    fi
    echo "mutants: the named tests pass unmutated ($(($(date +%s) - start)) s so far)"
fi
results=()
status=0
for patch in "${patches[@]}"; do
    name=$(basename "$patch" .patch)
    tests=$(known_tests "$(header "$patch" Tests)")
    begun=$(date +%s)
    if [ -z "$tests" ]; then
        results+=("$name|NO TESTS|$(header "$patch" Tests) not in this build|0")
        status=1
        continue
    fi
    if ! apply_error=$(scratch_apply --check "$root/$patch" 2>&1); then
        results+=("$name|STALE|the patch no longer applies: ${apply_error//$'\n'/ }|0")
        status=1
        continue
    fi
    scratch_apply "$root/$patch"
    outcome=
    failed=
    # shellcheck disable=SC2086
    if ! cmake --build "$bld" --parallel "$jobs" --target "${runtime_targets[@]}" $tests >"$work/$name.build.log" 2>&1; then
        outcome="NO BUILD"
        failed="see $work/$name.build.log"
        status=1
    else
        regex="^($(echo $tests | tr ' ' '|'))\$"
        ctest --test-dir "$bld" -R "$regex" --output-on-failure --parallel "$jobs" >"$work/$name.test.log" 2>&1
        failed=$(failed_tests "$work/$name.test.log")
        if [ -n "$failed" ]; then
            outcome=KILLED
        elif grep -q "100% tests passed" "$work/$name.test.log"; then
            outcome=SURVIVED
            status=1
        else
            outcome="NO RUN"
            failed="see $work/$name.test.log"
            status=1
        fi
    fi
    scratch_apply -R "$root/$patch"
    results+=("$name|$outcome|$failed|$(($(date +%s) - begun))")
    echo "mutants: $name $outcome ${failed}($(($(date +%s) - begun)) s)"
done
# Leaves the scratch copy as the tree is, so that the next build of it starts from there.
sync_tree

echo
printf '%-44s %-9s %-44s %s\n' MUTANT OUTCOME "FAILED TESTS (the ones that caught it)" SECONDS
for row in "${results[@]}"; do
    IFS='|' read -r name outcome failed seconds <<<"$row"
    printf '%-44s %-9s %-44s %s\n' "$name" "$outcome" "$failed" "$seconds"
done
echo "mutants: ${#results[@]} run in $(($(date +%s) - start)) s"
exit $status
