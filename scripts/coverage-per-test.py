#!/usr/bin/env python3
"""Which program lines each test alone reaches, for deciding what a cut would lose.

Usage: scripts/coverage-per-test.py BUILD OUT.json [name-regex]   (BUILD: a coverage build)
       scripts/coverage-per-test.py --report OUT.json

The first form runs every ctest test (or those matching the regex) on its own and keeps the
program lines and functions it reached; a second run goes on where the first stopped. The
report lists, per test, its size in lines and the lines and functions no other test reaches,
then the tests that could go, largest first, without any line or function going unrun. A test
on that list may still check something no other test checks: read it before cutting it.
"""
import collections, glob, json, os, re, subprocess, sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..'))
PROGRAM = tuple(os.path.join(ROOT, d) + '/' for d in ('src', 'server', 'consent', 'common', 'request', 'whiteboard'))


def reached(build):
    lines, funcs = set(), set()
    for gcda in glob.glob(build + '/**/*.gcda', recursive=True):
        out = subprocess.run(['gcov', '--json-format', '--stdout', os.path.basename(gcda)],
                             cwd=os.path.dirname(gcda), capture_output=True, text=True).stdout
        for chunk in out.splitlines():
            try:
                data = json.loads(chunk)
            except ValueError:
                continue
            for f in data['files']:
                path = os.path.normpath(os.path.join(data.get('current_working_directory', ''), f['file']))
                if not path.startswith(PROGRAM):
                    continue
                rel = os.path.relpath(path, ROOT)
                lines.update(f'{rel}:{l["line_number"]}' for l in f['lines'] if l['count'] > 0)
                funcs.update(f'{rel}:{fn["name"]}' for fn in f['functions'] if fn['execution_count'] > 0)
    return sorted(lines), sorted(funcs)


def measure(build, out, pattern):
    info = json.loads(subprocess.check_output(['ctest', '--show-only=json-v1'], cwd=build))
    result = json.load(open(out)) if os.path.exists(out) else {}
    for number, test in enumerate(info['tests'], 1):
        name = test['name']
        if name in result or (pattern and not re.search(pattern, name)):
            continue
        for gcda in glob.glob(build + '/**/*.gcda', recursive=True):
            os.remove(gcda)
        run = subprocess.run(['ctest', '-I', f'{number},{number}'], cwd=build, capture_output=True, text=True)
        lines, funcs = reached(build)
        result[name] = {'passed': '100% tests passed' in run.stdout, 'lines': lines, 'funcs': funcs}
        json.dump(result, open(out, 'w'))
        print(f'{number:4d} {name}: {len(lines)} lines', flush=True)


def test_sizes():
    sizes = {}
    for path in glob.glob(ROOT + '/tests/**/*.cpp', recursive=True):
        text = open(path).read().splitlines()
        starts = [(i, m) for i, l in enumerate(text) if (m := re.match(r'\s*TEST(?:_F|_P)?\((\w+),\s*(\w+)\)', l))]
        for k, (i, m) in enumerate(starts):
            # A test ends at its closing brace; helpers after it are not part of it.
            end = starts[k + 1][0] if k + 1 < len(starts) else len(text)
            end = next((j + 1 for j in range(i, end) if text[j].rstrip() == '}'), end)
            sizes[f'{m[1]}.{m[2]}'] = (sum(1 for l in text[i:end] if l.strip()), os.path.relpath(path, ROOT))
    return sizes


def report(out):
    tests = collections.defaultdict(lambda: (set(), set()))
    for name, d in json.load(open(out)).items():
        name = name.split()[0]
        # "server.BothOrders/Framing.Name/Msb" is the test Framing.Name.
        base = re.sub(r'/\w+$', '', re.sub(r'^\w+/', '', '.'.join(name.split('.')[-2:])))
        tests[base][0].update(d['lines'])
        tests[base][1].update(d['funcs'])
    line_users, func_users = collections.Counter(), collections.Counter()
    for lines, funcs in tests.values():
        line_users.update(lines)
        func_users.update(funcs)
    sizes = test_sizes()
    print(f'{len(tests)} tests reach {len(line_users)} lines and {len(func_users)} functions')
    print(' size  own lines  own functions  test')
    rows = sorted(tests, key=lambda n: (sum(line_users[l] == 1 for l in tests[n][0]), -sizes.get(n, (0,))[0]))
    for n in rows:
        own = sum(line_users[l] == 1 for l in tests[n][0])
        own_f = sum(func_users[f] == 1 for f in tests[n][1])
        print(f'{sizes.get(n, (0,))[0]:5d}  {own:9d}  {own_f:13d}  {n}')
    total = 0
    print('could go without a line or function going unrun (largest first):')
    for n in sorted(tests, key=lambda n: -sizes.get(n, (0,))[0]):
        lines, funcs = tests[n]
        if all(line_users[l] > 1 for l in lines) and all(func_users[f] > 1 for f in funcs):
            line_users.subtract(lines)
            func_users.subtract(funcs)
            size, where = sizes.get(n, (0, '?'))
            total += size
            print(f'{size:5d}  {n}  ({where})')
    print(f'{total} lines of tests in all')


if __name__ == '__main__':
    if len(sys.argv) == 3 and sys.argv[1] == '--report':
        report(sys.argv[2])
    elif len(sys.argv) in (3, 4):
        measure(os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3] if len(sys.argv) == 4 else None)
    else:
        sys.exit(__doc__)
