"""The mutants of a run: the declared files and their generated mutants (parsed with
sites.py, cached), the hand-written list, the declared equivalents, the lines changed since a
revision."""
import glob
import hashlib
import json
import multiprocessing
import os
import re
import subprocess
import sys

import sites

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HAND_LIST = os.path.join(ROOT, 'scripts', 'mutations.txt')
FILES_LIST = os.path.join(ROOT, 'scripts', 'mutants-files.txt')
EQUIVALENTS = os.path.join(ROOT, 'scripts', 'mutants-equivalent.txt')
CACHE = os.path.join(os.environ.get('XDG_CACHE_HOME', os.path.expanduser('~/.cache')),
                     'dl_cor_fw-mutants')
PARSE_ARGS = ['-std=c++20', f'-I{ROOT}/src']


def declared_files():
    """The files scripts/mutants-files.txt declares, sorted."""
    chosen = set()
    with open(FILES_LIST, encoding='utf-8') as f:
        for raw in f:
            line = raw.strip()
            if not line or line.startswith('#'):
                continue
            drop = line.startswith('!')
            found = {os.path.relpath(p, ROOT)
                     for p in glob.glob(os.path.join(ROOT, line.lstrip('!')), recursive=True)
                     if os.path.isfile(p)}
            chosen = chosen - found if drop else chosen | found
    return sorted(chosen)


def generate(files):
    """The generated mutants of files, parsed anew (two at a time) only where a file, a
    header of src/ or the site finder changed since the last run (cached under ~/.cache)."""
    stamp = sites_stamp()
    os.makedirs(CACHE, exist_ok=True)
    cached = {}
    for rel in files:
        with open(os.path.join(ROOT, rel), 'rb') as f:
            key = hashlib.sha256(rel.encode() + b'\0' + f.read() + stamp).hexdigest()
        cached[rel] = os.path.join(CACHE, key + '.json')
    fresh = [rel for rel in files if not os.path.exists(cached[rel])]
    with multiprocessing.Pool(2) as pool:
        for rel, (found, errors) in zip(fresh, pool.map(parse_one, fresh)):
            if errors:
                sys.exit(f'{rel}: the parser cannot read it:\n  ' + '\n  '.join(errors[:5]))
            with open(cached[rel], 'w', encoding='utf-8') as f:
                json.dump(found, f)
    mutants = []
    for rel in files:
        with open(cached[rel], encoding='utf-8') as f:
            mutants += json.load(f)
    return mutants


def parse_one(rel):
    return sites.find_mutants(ROOT, rel, PARSE_ARGS)


def sites_stamp():
    """What the mutants of a file depend on besides the file: the headers of src/, the site
    finder and the parser's arguments."""
    parts = [' '.join(PARSE_ARGS).encode()]
    for path in sorted(glob.glob(os.path.join(ROOT, 'src', '**', '*.h'), recursive=True)) + \
            [sites.__file__]:
        with open(path, 'rb') as f:
            parts.append(path.encode() + f.read())
    return b'\0'.join(parts)


def parse_hand_list(path):
    """Reads the hand-written list: blocks of 'name: file', '- original line' (one or more)
    and '+ replacement line' (none: the original is deleted), optionally 'tests: REGEX' to
    run also the named tests of another tier (memcheck). '#' starts a comment line."""
    mutants, cur = [], None
    with open(path, encoding='utf-8') as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip('\n')
            if not line.strip() or line.startswith('#'):
                continue
            m = re.match(r'^([a-z0-9][a-z0-9-]*): (\S+)$', line)
            if line.startswith('tests: ') and cur is not None:
                cur['tests'] = line[len('tests: '):]
            elif m:
                cur = {'name': m.group(1), 'file': m.group(2), 'old': [], 'new': [],
                       'list_line': number, 'op': 'hand'}
                mutants.append(cur)
            elif cur is None:
                sys.exit(f'{path}:{number}: a mutation starts with "name: file"')
            elif line.startswith('- ') or line == '-':
                cur['old'].append(line[2:])
            elif line.startswith('+ ') or line == '+':
                cur['new'].append(line[2:])
            else:
                sys.exit(f'{path}:{number}: not a mutation line: {line}')
    names = [m['name'] for m in mutants]
    broken = []
    for m in mutants:
        if names.count(m['name']) != 1:
            sys.exit(f"{path}: mutant {m['name']} is named twice")
        m['old'], m['new'] = '\n'.join(m['old']), '\n'.join(m['new'])
        with open(os.path.join(ROOT, m['file']), encoding='utf-8') as f:
            text = f.read()
        if not m['old'] or text.count(m['old']) != 1:
            broken.append(m)
            continue
        start = len(text[:text.index(m['old'])].encode())
        m.update(start=start, end=start + len(m['old'].encode()),
                 line=text[:text.index(m['old'])].count('\n') + 1, stmt=None,
                 detail='hand-written')
        m['stmt'] = (m['line'], m['line'] + m['old'].count('\n'))
    for m in broken:
        print(f"{m['name']}: the original text is not in {m['file']} exactly once "
              f"(mutations.txt line {m['list_line']})")
    return mutants, broken


def load_equivalents(mutants, files, declared):
    """The declared equivalents: lines 'NAME | the line as mutated | reason'. An entry
    matches the mutant of that name while its line reads as written; when lines above it
    moved, the mutant of the same file and operator whose mutated line reads so (one only).
    Entries of declared files outside files (those of this run) are passed over; an entry of
    a file that is not declared is stale. Returns ({mutant name: reason}, [stale entries])."""
    by_name = {m['name']: m for m in mutants}
    texts = {}
    for m in mutants:
        texts.setdefault((m['file'], m['op'], m['mutated']), []).append(m['name'])
    found, stale = {}, []
    if not os.path.exists(EQUIVALENTS):
        return found, stale
    with open(EQUIVALENTS, encoding='utf-8') as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith('#'):
                continue
            parts = [p.strip() for p in line.split(' | ', 2)]
            if len(parts) != 3 or not parts[2]:
                sys.exit(f'{EQUIVALENTS}:{number}: not "NAME | mutated line | reason"')
            name, text, reason = parts
            m = by_name.get(name)
            if m is not None and m['mutated'] == text:
                found[name] = reason
                continue
            file, _, rest = name.partition(':')
            op = rest.split(':', 1)[-1].split('#')[0]
            moved = texts.get((file, op, text), [])
            if len(moved) == 1:
                found[moved[0]] = reason
            elif file not in declared:
                stale.append(f'{EQUIVALENTS}:{number}: {file} is not a declared file')
            elif file in files:
                stale.append(f'{EQUIVALENTS}:{number}: {name} no longer names a mutant '
                             f'whose line reads "{text}"')
    return found, stale


def changed_lines(rev, files):
    """{file: set of lines} changed in the working tree since rev (every line of a file that
    git does not track)."""
    out = subprocess.run(['git', 'diff', '-U0', '--no-color', rev, '--'] + files, cwd=ROOT,
                         check=True, capture_output=True, text=True).stdout
    lines, current = {}, None
    for line in out.splitlines():
        if line.startswith('+++ '):
            current = line[6:] if line.startswith('+++ b/') else None
        m = re.match(r'^@@ -\S+ \+(\d+)(?:,(\d+))? @@', line)
        if m and current:
            start, count = int(m.group(1)), int(m.group(2) or 1)
            lines.setdefault(current, set()).update(range(start, start + count))
    untracked = subprocess.run(['git', 'ls-files', '--others', '--exclude-standard', '--']
                               + files, cwd=ROOT, check=True, capture_output=True,
                               text=True).stdout.split()
    for rel in untracked:
        with open(os.path.join(ROOT, rel), encoding='utf-8') as f:
            lines[rel] = set(range(1, f.read().count('\n') + 2))
    return lines


def mutant_lines(m):
    first, last = m['line'], m['line'] + m['old'].count('\n')
    return range(first, last + 1)
