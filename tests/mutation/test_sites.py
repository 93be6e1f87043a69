#!/usr/bin/env python3
"""scripts/mutation/sites.py on small sources that trip a scanner over lines: each row's
mutants, as 'operator | the line with the mutant applied', must be exactly those listed. Exit 77 (skipped)
where python3-clang-14 is not installed."""
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'scripts', 'mutation'))
try:
    import sites
except ImportError as e:
    print(f'python3-clang-14 is not installed (apt-get install python3-clang-14): {e}')
    sys.exit(77)

HEAD = 'template <class T> struct box { T v; int size() const; };\nint g(int);\n'
ROWS = [
    ('comments, strings and characters hold no sites',
     'bool f(int a) { // a < b && !c\n'
     '    const char *s = "x < y || !z"; char c = \'<\';\n'
     '    return a < 2 && s[0] == c; /* a == b */ }',
     ['rel-bound | return a <= 2 && s[0] == c; /* a == b */ }',
      'int-bound | return a < 1 && s[0] == c; /* a == b */ }',
      'logic | return a < 2 || s[0] == c; /* a == b */ }',
      'rel-negate | return a < 2 && s[0] != c; /* a == b */ }']),
    ('template brackets are not comparisons',
     'bool f(box<box<int>> b, int a) { return static_cast<unsigned>(a) > b.v.size() + 3u; }',
     ['rel-bound | bool f(box<box<int>> b, int a) { return static_cast<unsigned>(a) >= '
      'b.v.size() + 3u; }',
      'int-bound | bool f(box<box<int>> b, int a) { return static_cast<unsigned>(a) > '
      'b.v.size() + 4u; }']),
    ('macros and constant contexts are left alone',
     '#define OVER(x) ((x) > 10)\n#define END(x) g(x)\n'
     'static_assert(sizeof(int) >= 4, "int");\n'
     'constexpr bool k_on = 2 > 1;\n'
     'enum { e_small = 1 < 2 };\n'
     'int f(int a) { switch (a) { case 3: return g(0); } END(a); return OVER(a) ? 1 : 0; }',
     []),
    ('calls whose result is ignored, not declarations or assignments',
     'struct s { s(const char *, int n); };\n'
     'void f(int a) { s one("ab", 2); a = g(a); g(a); (void)g(1); if (a) g(2); }',
     ['int-bound | void f(int a) { s one("ab", 1); a = g(a); g(a); (void)g(1); if (a) g(2); }',
      'call-delete | void f(int a) { s one("ab", 2); a = g(a); ; (void)g(1); if (a) g(2); }',
      'call-delete#2 | void f(int a) { s one("ab", 2); a = g(a); g(a); ; if (a) g(2); }',
      'call-delete#3 | void f(int a) { s one("ab", 2); a = g(a); g(a); (void)g(1); if (a) ; }']),
    ('status returns, booleans, negations, named bounds',
     'enum class r { ok, bad };\n'
     'constexpr int k_len = 8;\n'
     'int f(int i) { if (!i) return -1; return i < k_len ? 0 : 2; }\n'
     'r h(bool b) { return b ? r::bad : r::ok; }\n'
     'r j() { bool t = true; return t ? r::ok : r::bad; }\n'
     'r k() { return r::bad; }',
     ['int-bound | constexpr int k_len = 7;',
      'not-drop | int f(int i) { if (i) return -1; return i < k_len ? 0 : 2; }',
      'return-status | int f(int i) { if (!i) return 0; return i < k_len ? 0 : 2; }',
      'rel-bound | int f(int i) { if (!i) return -1; return i <= k_len ? 0 : 2; }',
      'bool-negate | r j() { bool t = false; return t ? r::ok : r::bad; }',
      'return-status | r k() { return r::ok; }']),
]


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as root:
        for title, code, expected in ROWS:
            with open(os.path.join(root, 'row.cpp'), 'w') as f:
                f.write(HEAD + code + '\n')
            found, errors = sites.find_mutants(root, 'row.cpp', ['-std=c++20'])
            data = (HEAD + code + '\n').encode()
            got = [f"{m['name'].split(':', 2)[2]} | "
                   f"{sites.apply(data, m).decode().splitlines()[m['line'] - 1].strip()}"
                   for m in found]
            if errors or sorted(got) != sorted(expected):
                failures += 1
                print(f'FAIL: {title}\n  errors: {errors}\n  expected: {sorted(expected)}\n'
                      f'  got:      {sorted(got)}')
    print(f'{len(ROWS) - failures} of {len(ROWS)} rows pass')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
