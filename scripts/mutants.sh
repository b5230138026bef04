#!/usr/bin/env bash
# Plants each fault of tests/mutants.txt, one at a time, in a scratch copy of the tree, builds it,
# runs the tests the line names, and says whether they caught it.
#
# Usage: scripts/mutants.sh [options] [PATTERN...]
#   PATTERN          run only mutants whose name or file matches one of these (grep -E)
#   --list FILE      the mutant list (default tests/mutants.txt)
#   --check          only check that every snippet is found once in its file; build nothing
#   --timeout S      limit for each test (default 120) and, times four, for one mutant's tests
#   --build DIR      the build directory under which the scratch tree lives (default build)
#   --keep           keep the scratch tree and its build for the next run (faster; default: remove)
#   --strict         a mutant that survives fails the run as well
#   --base REV       plant the faults in REV as committed (say, main before a change to the tests)
#                    instead of HEAD with the uncommitted changes
#   --no-baseline    skip running the named tests on the unmutated tree first
#   --full COV.json  also run every test that reached the mutated line, by the per-test coverage
#                    that scripts/coverage-per-test.py wrote to COV.json
#
# The scratch tree is a detached git worktree of HEAD with the uncommitted changes copied in,
# at DIR/mutants/tree, built in its own build/ folder with ccache. First the tests the selected
# mutants name run once on the unmutated tree: a mutant whose tests fail there proves nothing and
# is reported "baseline fails". Then per mutant: "killed", "survived", "not applied" (snippet
# missing or not unique, or the mutant does not build) or "no tests", and a summary line. Exits 1
# when any mutant is not applied, names no test, or has tests that fail without it.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/tests/mutants.txt
build=build
timeout_s=120
check_only=0 keep=0 strict=0 base="" baseline=1 full=""
patterns=()
jobs=${JOBS:-2}
while [ $# -gt 0 ]; do
  case $1 in
    --list) list=$(realpath "$2"); shift 2 ;;
    --check) check_only=1; shift ;;
    --timeout) timeout_s=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --strict) strict=1; shift ;;
    --base) base=$2; shift 2 ;;
    --no-baseline) baseline=0; shift ;;
    --full) full=$(realpath "$2"); shift 2 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    -*) echo "mutants: unknown option $1" >&2; exit 2 ;;
    *) patterns+=("$1"); shift ;;
  esac
done
case $build in /*) ;; *) build=$root/$build ;; esac

# One mutant a line: NAME @@ FILE @@ ORIGINAL @@ REPLACEMENT @@ TESTS (see tests/mutants.txt).
# Prints the selected lines' fields separated by ASCII unit separators, or fails on a bad line.
parse() {
  python3 - "$list" "${patterns[@]}" <<'EOF'
import re, sys
path, pats = sys.argv[1], sys.argv[2:]
names, bad = set(), 0
for n, line in enumerate(open(path), 1):
    if not line.strip() or line.lstrip().startswith('#'):
        continue
    f = [x.strip() for x in line.rstrip('\n').split('@@')]
    if len(f) != 5 or not all(f[i] for i in (0, 1, 2, 4)) or f[0] in names:
        print(f'{path}:{n}: needs NAME @@ FILE @@ ORIGINAL @@ REPLACEMENT @@ TESTS, a new NAME', file=sys.stderr)
        bad = 1
        continue
    names.add(f[0])
    if pats and not any(re.search(p, f[0]) or re.search(p, f[1]) for p in pats):
        continue
    print('\x1f'.join(f))
sys.exit(bad)
EOF
}

# Replaces ORIGINAL by REPLACEMENT in FILE under TREE; fails unless ORIGINAL is there exactly once.
# With --restore, puts back the copy the last replacement kept.
apply() {
  python3 - "$@" <<'EOF'
import os, sys
if sys.argv[1] == '--restore':
    os.replace(sys.argv[2] + '.unmutated', sys.argv[2])
    # The copy is older than the mutant's objects: without a new time the build would keep them,
    # and the mutant would stay in every later mutant's programs.
    os.utime(sys.argv[2])
    sys.exit(0)
path, old, new = sys.argv[1:4]
try:
    text = open(path).read()
except OSError as e:
    print(f'cannot read {path}: {e.strerror}', file=sys.stderr); sys.exit(1)
count = text.count(old)
if count != 1:
    print(f'snippet found {count} times in {path}', file=sys.stderr); sys.exit(1)
open(path + '.unmutated', 'w').write(text)
open(path, 'w').write(text.replace(old, new))
EOF
}

# The build targets the tests matching $1 run, and the programs: a mutant relinks only those.
# Tests that are scripts rather than test programs need everything.
targets() {
  (cd "$bdir" && ctest --show-only=json-v1 -R "$1") | python3 -c '
import json, os, sys
names = set()
for t in json.load(sys.stdin).get("tests", []):
    # The test program, also when a script runs it (as the network namespace script does).
    built = [c for c in t.get("command") or [] if c.startswith(sys.argv[1] + "/")]
    if not built:
        sys.exit(0)
    names.add(os.path.basename(built[0]))
print("--target programs " + " ".join(sorted(names)))' "$bdir"
}

# The named tests' regex widened by every test that reached the line of $3 in file $2, by the
# per-test coverage file $1.
reaching() {
  python3 - "$@" "$root" <<'EOF2'
import json, re, sys
cov, file, old, named, root = sys.argv[1:6]
text = open(f'{root}/{file}').read()
where = f'{file}:{text[:text.find(old)].count(chr(10)) + 1}'
names = [re.escape(n) for n, d in json.load(open(cov)).items() if where in d['lines']]
print('|'.join([named] + [f'^{n}$' for n in names]))
EOF2
}

selected=$(parse) || exit 1
[ -n "$selected" ] || { echo "mutants: none selected" >&2; exit 1; }

if [ "$check_only" = 1 ]; then
  errors=0 total=0
  while IFS=$'\x1f' read -r name file old new tests; do
    total=$((total + 1))
    c=$(python3 -c 'import sys; print(open(sys.argv[1]).read().count(sys.argv[2]))' "$root/$file" "$old" 2>/dev/null || echo 0)
    [ "$c" = 1 ] || { echo "$name: snippet found ${c} times in $file"; errors=$((errors + 1)); }
  done <<<"$selected"
  echo "mutants: $total checked, $errors not applicable"
  [ "$errors" = 0 ]; exit
fi

scratch=$build/mutants
tree=$scratch/tree
bdir=$tree/build   # where a worktree keeps its build: the same relative paths hit the ccache
log=$scratch/log
logs=$build/mutants-logs   # each mutant's test output, kept after the run
cleanup() {
  [ -f "$tree/.mutant-file" ] && apply --restore "$tree/$(cat "$tree/.mutant-file")" && rm -f "$tree/.mutant-file"
  if [ "$keep" = 0 ]; then
    git -C "$root" worktree remove --force "$tree" 2>/dev/null
    rm -rf "$scratch"
  fi
}
# Builds and tests run in a session of their own, so that an interrupted run stops them all.
child=0
run() {
  setsid "$@" &
  child=$!
  wait "$child"
  local status=$?
  child=0
  return "$status"
}
trap cleanup EXIT
trap '[ "$child" = 0 ] || kill -- -"$child" 2>/dev/null; exit 130' INT TERM

mkdir -p "$scratch" "$logs"
rev=$(git -C "$root" rev-parse "${base:-HEAD}") || exit 1
if [ ! -d "$tree" ]; then
  git -C "$root" worktree add --detach "$tree" "$rev" >/dev/null 2>&1 || { echo "mutants: cannot make $tree" >&2; exit 1; }
else
  git -C "$tree" checkout --detach --force "$rev" >/dev/null 2>&1
  git -C "$tree" clean -fdq
fi
if [ -z "$base" ]; then
  # What is not committed yet counts too.
  (cd "$root" && git diff HEAD --binary) | git -C "$tree" apply --allow-empty 2>/dev/null
  (cd "$root" && git ls-files --others --exclude-standard -z) | (cd "$root" && xargs -0 -r cp --parents -t "$tree")
fi

echo "mutants: building the unmutated tree in $bdir"
run cmake -S "$tree" -B "$bdir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >"$log" 2>&1 &&
  run cmake --build "$bdir" -j"$jobs" >>"$log" 2>&1 || { echo "mutants: the unmutated tree does not build (see $log)" >&2; keep=1; exit 1; }

# Tests that fail without any fault planted would pass every mutant off as killed.
failing=""
if [ "$baseline" = 1 ]; then
  union=$(cut -d$'\x1f' -f5 <<<"$selected" | sort -u | paste -sd'|')
  echo "mutants: running the named tests on the unmutated tree"
  run ctest --test-dir "$bdir" -R "$union" -j"$jobs" --timeout "$timeout_s" >"$scratch/baseline.log" 2>&1
  failing=$(sed -n 's/^ *[0-9]*% tests passed.*//; s/^\t *[0-9]* - \([^ ]*\) .*/\1/p' "$scratch/baseline.log")
  [ -z "$failing" ] || echo "mutants: failing without a fault: $(echo $failing)"
fi

total=0 killed=0 survived=0 errors=0 start=$SECONDS
survivors=()
while IFS=$'\x1f' read -r name file old new tests; do
  total=$((total + 1))
  t0=$SECONDS
  bad=""
  for t in $failing; do grep -qE "$tests" <<<"$t" && bad="$bad $t"; done
  if [ -n "$bad" ]; then
    printf '%-34s baseline fails (%s)\n' "$name" "${bad# }"
    errors=$((errors + 1)); continue
  fi
  if ! why=$(apply "$tree/$file" "$old" "$new" 2>&1); then
    printf '%-34s not applied (%s)\n' "$name" "$why"
    errors=$((errors + 1)); continue
  fi
  echo "$file" >"$tree/.mutant-file"
  [ -z "$full" ] || tests=$(reaching "$full" "$file" "$old" "$tests")
  if ! run cmake --build "$bdir" -j"$jobs" $(targets "$tests") >"$log" 2>&1; then
    result="not applied (does not build)"; errors=$((errors + 1))
  elif [ "$(cd "$bdir" && ctest -N -R "$tests" | grep -c '^ *Test *#')" = 0 ]; then
    result="no tests match '$tests'"; errors=$((errors + 1))
  elif run timeout $((timeout_s * 4)) ctest --test-dir "$bdir" -R "$tests" -j"$jobs" --timeout "$timeout_s" --output-on-failure \
          --stop-on-failure >"$logs/$name.log" 2>&1; then
    result=survived; survived=$((survived + 1)); survivors+=("$name")
  else
    # The first test that failed, or the time limit that ended them.
    by=$(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p' "$logs/$name.log" | head -1)
    result="killed (${by:-time limit})"; killed=$((killed + 1))
  fi
  apply --restore "$tree/$file"; rm -f "$tree/.mutant-file"
  printf '%-34s %4ss  %s\n' "$name" $((SECONDS - t0)) "$result"
done <<<"$selected"

echo "mutants: $total, killed $killed, survived $survived, not applied or baseline failing $errors ($(( (SECONDS - start) / 60 )) min)"
[ ${#survivors[@]} -eq 0 ] || echo "survived: ${survivors[*]}"
[ "$errors" = 0 ] || exit 1
[ "$strict" = 0 ] || [ "$survived" = 0 ]
