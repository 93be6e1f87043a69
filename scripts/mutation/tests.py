"""The tests a mutant meets: the unit and end-to-end tiers as ctest knows them, run by this
module itself two at a time (so that it can stop at the first failure, give each test a
guard of its own and, in a coverage build, keep each test's line counts apart), and the map
of which tests run which line of src/.
"""
import glob
import hashlib
import json
import os
import subprocess
import tempfile
import time

# A test longer than its baseline by this factor (plus the slack) has hung.
HANG_FACTOR = 5
HANG_SLACK_S = 20


def discover(build, label_regex, exclude_regex=None, name_regex=None):
    """The tests of build that ctest selects with -L label_regex -E exclude_regex -R
    name_regex, as dicts: name, tier ('unit' or 'e2e'), command, cwd, env, timeout,
    skip_code, will_fail."""
    cmd = ['ctest', '--test-dir', build, '--show-only=json-v1', '-L', label_regex]
    if exclude_regex:
        cmd += ['-E', exclude_regex]
    if name_regex:
        cmd += ['-R', name_regex]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    tests = []
    for t in json.loads(out)['tests']:
        props = {p['name']: p['value'] for p in t.get('properties', [])}
        labels = props.get('LABELS', [])
        env = dict(e.split('=', 1) for e in props.get('ENVIRONMENT', []))
        tests.append({'name': t['name'], 'tier': 'unit' if 'unit' in labels else 'e2e',
                      'command': t['command'], 'cwd': props.get('WORKING_DIRECTORY', build),
                      'env': env, 'timeout': float(props.get('TIMEOUT', 1500)),
                      'skip_code': props.get('SKIP_RETURN_CODE'),
                      'will_fail': bool(props.get('WILL_FAIL'))})
    return tests


def _passed(test, status):
    if test['skip_code'] is not None and status == int(test['skip_code']):
        return True
    return (status != 0) == test['will_fail']


def run(tests, log, jobs=2, guard=None, extra_env=None, stop_on_failure=True):
    """Runs tests, jobs at a time, in the order given. guard(test) is the seconds a test may
    take before it counts as hung (default: its own TIMEOUT); extra_env(test) adds to its
    environment. The output of a test that fails is appended to log.
    Returns (failed, seconds): the tests that failed or hung as (name, why) pairs, in the
    order found (at most one when stop_on_failure, unless two failed at once), and each
    test's seconds by name (tests never started are missing)."""
    queue = list(tests)
    running = []  # (test, process, output file, started)
    failed, seconds = [], {}
    while queue or running:
        while queue and len(running) < jobs and not (stop_on_failure and failed):
            t = queue.pop(0)
            env = dict(os.environ, **t['env'], **(extra_env(t) if extra_env else {}))
            out = tempfile.TemporaryFile()
            p = subprocess.Popen(t['command'], cwd=t['cwd'], env=env, stdout=out,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                 start_new_session=True)
            running.append((t, p, out, time.monotonic()))
        if stop_on_failure and failed and not running:
            break
        time.sleep(0.01)
        for entry in list(running):
            t, p, out, started = entry
            limit = guard(t) if guard else t['timeout']
            status = p.poll()
            elapsed = time.monotonic() - started
            hung = status is None and elapsed > limit
            if status is None and not hung and not (stop_on_failure and failed):
                continue
            if status is None:
                _kill(p)
            running.remove(entry)
            seconds[t['name']] = elapsed
            if hung:
                failed.append((t['name'], f'hung (over {limit:.0f} s)'))
            elif status is not None and not _passed(t, status):
                failed.append((t['name'], f'status {status}'))
                out.seek(0)
                with open(log, 'ab') as f:
                    f.write(f"--- {t['name']} failed (status {status})\n".encode())
                    f.write(out.read()[-20000:])
            out.close()
    return failed, seconds


def _kill(p):
    try:
        os.killpg(p.pid, 9)
    except ProcessLookupError:
        pass
    p.wait()


def hang_guard(baseline):
    """guard() for run(): a test may take HANG_FACTOR times its baseline, plus slack."""
    return lambda t: min(t['timeout'], HANG_FACTOR * baseline.get(t['name'], 60) + HANG_SLACK_S)


# --- which tests run which lines ----------------------------------------------------------

def tree_key(src):
    """A digest of every file of the copy that a build or a test may read (scripts/, the
    Markdown pages and the fuzz targets, which none of the run's builds reads, left out, save
    the coverage build's own source): the coverage map of one tree serves every run on that
    same tree."""
    h = hashlib.sha256()
    for top, dirs, names in os.walk(src):
        dirs[:] = sorted(d for d in dirs if not d.startswith('build') and d != '.git')
        for name in sorted(names):
            path = os.path.join(top, name)
            rel = os.path.relpath(path, src)
            if name.endswith('.md') or rel.startswith('tests/fuzz/') or (
                    rel.startswith('scripts/') and rel != 'scripts/mutation/coverage_raise.c'):
                continue
            h.update(rel.encode() + b'\0')
            with open(path, 'rb') as f:
                h.update(hashlib.sha256(f.read()).digest())
    return h.hexdigest()


def line_counts(prefix, build, src):
    """The lines of src/ that ran under GCOV_PREFIX=prefix (the .gcda files one test left
    there), as {path relative to src: set of lines}, and every line gcov knows of, run or
    not, as {path: set of lines}."""
    ran, known = {}, {}
    gcdas = glob.glob(os.path.join(prefix, '**', '*.gcda'), recursive=True)
    if not gcdas:
        return ran, known
    # gcov reads the notes file (.gcno) beside each data file.
    for gcda in gcdas:
        gcno = gcda[:-5] + '.gcno'
        real = '/' + os.path.relpath(gcno, prefix)
        if not os.path.exists(gcno) and os.path.exists(real):
            os.symlink(real, gcno)
    out = subprocess.run(['gcov', '--json-format', '--stdout'] + gcdas, cwd=build,
                         capture_output=True, text=True).stdout
    for text in out.splitlines():
        if not text.startswith('{'):
            continue
        for f in json.loads(text).get('files', []):
            path = os.path.relpath(os.path.join(build, f['file']), src)
            if path.startswith('..'):
                continue
            for line in f['lines']:
                known.setdefault(path, set()).add(line['line_number'])
                if line['count'] > 0:
                    ran.setdefault(path, set()).add(line['line_number'])
    return ran, known


def coverage_map(tests, build, src, work, log):
    """Runs every test once in the coverage build, each with a GCOV_PREFIX of its own, and
    returns {'tests': [names], 'lines': {path: {line: [test indexes]}}, 'known': {path:
    [lines]}}. A test that fails there is reported; the lines it ran until then count."""
    root = os.path.join(work, 'gcda')
    subprocess.run(['rm', '-rf', root], check=True)
    index = {t['name']: i for i, t in enumerate(tests)}
    failed, _ = run(tests, log, stop_on_failure=False,
                    extra_env=lambda t: {'GCOV_PREFIX': os.path.join(root, str(index[t['name']])),
                                         'GCOV_PREFIX_STRIP': '0'})
    for name, why in failed:
        print(f'coverage build: {name} failed ({why}); the lines it ran until then count',
              flush=True)
    lines, known = {}, {}
    for t in tests:
        i = index[t['name']]
        ran, seen = line_counts(os.path.join(root, str(i)), build, src)
        for path, ls in seen.items():
            known.setdefault(path, set()).update(ls)
        for path, ls in ran.items():
            for line in ls:
                lines.setdefault(path, {}).setdefault(str(line), []).append(i)
    subprocess.run(['rm', '-rf', root], check=True)
    return {'tests': [t['name'] for t in tests], 'lines': lines,
            'known': {p: sorted(ls) for p, ls in known.items()}}


def tests_for(cmap, file, lines):
    """The names of the tests that run any of lines of file, or None when none of those
    lines holds code that gcov counts (a table, a declaration: every test may depend on
    it). An empty list: the lines hold code that no test runs."""
    known = set(cmap['known'].get(file, []))
    counted = [ln for ln in lines if ln in known]
    if not counted:
        return None
    by_line = cmap['lines'].get(file, {})
    found = set()
    for ln in counted:
        found.update(by_line.get(str(ln), []))
    return [cmap['tests'][i] for i in sorted(found)]
