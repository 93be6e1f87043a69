"""The mutants of one C++ source file, found with libclang (python3-clang-14).

A parser, not a scanner over lines: libclang tells a relational '<' from a template's, a call
statement from a declaration, a constant expression from code that runs, and its tokens leave
out comments, strings, character literals and preprocessor lines by themselves. Each mutant
is one edit of the file's bytes (start, end, replacement), checked against the file's text
when it is applied, so that a mutant never lands anywhere but on the text it was made from.

Operators, one mutant per site and operator:
  rel-bound      <  <-> <=,  >  <-> >=            (an ordering loosened or tightened)
  rel-negate     == <-> !=                        (an equality turned round)
  logic          && <-> ||
  not-drop       !x -> x
  bool-negate    true <-> false
  return-status  return of a constant in a function returning an integer or an enum: a
                 nonzero value made 0 (an enum's zero enumerator), a zero one -1 (1, the
                 enumerator of value 1)
  int-bound      an integer literal one off where it bounds: an operand (through + - ?: and
                 parentheses) of an ordering (not of an equality), a length/count/size
                 argument of a call, or the literal that defines a const integer of the file
                 used as such; at a comparison, the direction that rel-bound there does not
                 already give
  call-delete    a call statement whose result is ignored (a constructor's, an operator's
                 excepted), deleted; the ';' stays
Left alone: static_assert, constexpr/consteval functions and the initializers of constexpr
variables (except the literal of a named bound), case labels, enumerators, template
arguments, sizeof/decltype/alignof, 'if constexpr' statements, and everything a macro
expands to.
"""
import bisect
import ctypes
import re
import sys

try:
    import clang.cindex as ci
except ImportError:  # Debian's python3-clang-14 for a Python other than /usr/bin/python3
    sys.path.append('/usr/lib/python3/dist-packages')
    import clang.cindex as ci

K = ci.CursorKind
ORDERING = {'<': '<=', '<=': '<', '>': '>=', '>=': '>'}
EQUALITY = {'==': '!=', '!=': '=='}
LOGIC = {'&&': '||', '||': '&&'}
# How rel-bound at `L op R` shifts each side (L: first, R: second), so that int-bound can
# take the other direction: `x < 4` -> `x <= 4` is `x < 5`, so int-bound makes it `x < 3`.
REL_BOUND_SHIFT = {'<': (-1, 1), '<=': (1, -1), '>': (1, -1), '>=': (-1, 1)}
LENGTH_PARAM = re.compile(r'^(__)?(n|len|length|size|count|nbytes|bytes|width)$|_(len|size|count)$',
                          re.I)
INTEGER_TYPES = {ci.TypeKind.INT, ci.TypeKind.UINT, ci.TypeKind.LONG, ci.TypeKind.ULONG,
                 ci.TypeKind.LONGLONG, ci.TypeKind.ULONGLONG, ci.TypeKind.SHORT,
                 ci.TypeKind.USHORT, ci.TypeKind.SCHAR, ci.TypeKind.UCHAR, ci.TypeKind.CHAR_S,
                 ci.TypeKind.CHAR_U}
UNSIGNED_TYPES = {ci.TypeKind.UINT, ci.TypeKind.ULONG, ci.TypeKind.ULONGLONG, ci.TypeKind.USHORT,
                  ci.TypeKind.UCHAR, ci.TypeKind.CHAR_U}
CONST_CONTEXTS = {K.STATIC_ASSERT, K.ENUM_DECL, K.CXX_UNARY_EXPR, K.TEMPLATE_NON_TYPE_PARAMETER,
                  K.TEMPLATE_TYPE_PARAMETER, K.TYPE_REF, K.TEMPLATE_REF}
FUNCTIONS = {K.FUNCTION_DECL, K.CXX_METHOD, K.CONSTRUCTOR, K.DESTRUCTOR, K.FUNCTION_TEMPLATE,
             K.CONVERSION_FUNCTION}
STATEMENT_PARENTS = {K.COMPOUND_STMT, K.IF_STMT, K.FOR_STMT, K.WHILE_STMT, K.DO_STMT,
                     K.CASE_STMT, K.DEFAULT_STMT, K.CXX_FOR_RANGE_STMT}


def _evaluate(cursor):
    """The integer value of a constant expression (libclang's clang_Cursor_Evaluate, which
    the Python binding of clang 14 does not wrap), or None."""
    lib = ci.conf.lib
    lib.clang_Cursor_Evaluate.argtypes = [ci.Cursor]
    lib.clang_Cursor_Evaluate.restype = ctypes.c_void_p
    lib.clang_EvalResult_getKind.argtypes = [ctypes.c_void_p]
    lib.clang_EvalResult_getAsLongLong.argtypes = [ctypes.c_void_p]
    lib.clang_EvalResult_getAsLongLong.restype = ctypes.c_longlong
    lib.clang_EvalResult_dispose.argtypes = [ctypes.c_void_p]
    result = lib.clang_Cursor_Evaluate(cursor)
    if not result:
        return None
    try:
        return lib.clang_EvalResult_getAsLongLong(result) \
            if lib.clang_EvalResult_getKind(result) == 1 else None  # CXEval_Int
    finally:
        lib.clang_EvalResult_dispose(result)


def _strip(c):
    """c without the implicit wrappers and parentheses libclang puts around expressions."""
    while c.kind in (K.UNEXPOSED_EXPR, K.PAREN_EXPR):
        kids = list(c.get_children())
        if len(kids) != 1:
            break
        c = kids[0]
    return c


def _literal_text(spelling, value):
    """An integer literal's spelling for value, in the base and with the suffix of spelling."""
    m = re.match(r'^(0[xX])?([0-9a-fA-F\']+?)([uUlL]*)$', spelling)
    prefix, digits, suffix = m.groups() if m else ('', spelling, '')
    if prefix:
        text = format(value, 'x' if any(ch in 'abcdef' for ch in digits) else 'X')
        return prefix + text.zfill(len(digits)) + suffix
    return str(value) + suffix


class FileSites:
    """Walks one translation unit and collects the mutants of its main file."""

    def __init__(self, tu, path, rel, data):
        self.path, self.rel, self.data = path, rel, data
        self.tokens = [t for t in tu.get_tokens(extent=tu.get_extent(path, (0, len(data))))]
        self.offsets = [t.extent.start.offset for t in self.tokens]
        # Edits stay off macro definitions, and off the text of a macro use unless they
        # take it whole (a call statement with stdout for an argument).
        self.definitions, self.expansions = [], []
        for c in tu.cursor.get_children():
            if c.kind in (K.MACRO_DEFINITION, K.MACRO_INSTANTIATION) and self.in_file(c):
                (self.definitions if c.kind == K.MACRO_DEFINITION else self.expansions).append(
                    (c.extent.start.offset, c.extent.end.offset))
        self.mutants = []
        # Named bounds: const integers of this file, by the offset of their declaration, and
        # the variables that comparisons and length arguments use.
        self.constants = {}
        self.bound_uses = {}

    def in_file(self, c):
        f = c.location.file
        return f is not None and f.name == self.path

    def spans_here(self, c):
        """c's whole extent lies in this file, outside every macro."""
        s, e = c.extent.start, c.extent.end
        return (s.file is not None and e.file is not None and s.file.name == self.path
                and e.file.name == self.path and not self.in_macro(s.offset, e.offset))

    def note_bound_use(self, ref, delta):
        """ref, a variable that a comparison or a length argument uses."""
        if ref is not None and ref.kind == K.VAR_DECL and self.in_file(ref):
            self.bound_uses.setdefault(ref.location.offset, delta)

    def in_macro(self, start, end):
        return any(start < b and a < end for a, b in self.definitions) or any(
            start < b and a < end and not (start <= a and b <= end) for a, b in self.expansions)

    def token_at(self, offset):
        """The index of the first token at or after offset."""
        return bisect.bisect_left(self.offsets, offset)

    def tokens_between(self, start, end):
        return self.tokens[self.token_at(start):self.token_at(end)]

    def add(self, op, start, end, new, stmt, detail=None):
        old = self.data[start:end].decode()
        if self.in_macro(start, end) or (detail is None and old == new):
            return
        line = self.data.count(b'\n', 0, start) + 1
        self.mutants.append({'file': self.rel, 'line': line, 'op': op, 'start': start,
                             'end': end, 'old': old, 'new': new, 'stmt': stmt,
                             'detail': detail or f'{old or "?"} -> {new or "(deleted)"}'})

    # --- the walk -------------------------------------------------------------------------

    def walk(self, c, ctx):
        k = c.kind
        if k in CONST_CONTEXTS or k == K.MACRO_DEFINITION:
            return
        if k in FUNCTIONS or k == K.LAMBDA_EXPR:
            head = [t.spelling for t in self.tokens_between(c.extent.start.offset,
                                                            c.location.offset)]
            if 'constexpr' in head or 'consteval' in head:
                return
            ctx = dict(ctx, result=c.result_type if k != K.LAMBDA_EXPR else None)
        elif k == K.VAR_DECL and c.type.get_canonical().is_const_qualified():
            self.note_constant(c, ctx)
            if self.is_constexpr(c):
                return
        elif k == K.CASE_STMT:
            for kid in list(c.get_children())[1:]:
                self.call_statement(kid, (kid.extent.start.line, kid.extent.end.line))
                self.walk(kid, self.statement_ctx(c, kid, ctx))
            return
        elif k == K.IF_STMT and self.tokens_between(c.extent.start.offset,
                                                    c.extent.end.offset)[1].spelling == 'constexpr':
            return
        self.visit(c, ctx)
        for kid in c.get_children():
            self.walk(kid, self.statement_ctx(c, kid, ctx))

    @staticmethod
    def statement_ctx(parent, kid, ctx):
        """The enclosing statement's lines go with every site in it: the fallback when the
        site's own line holds no code for the line counts."""
        if parent.kind == K.COMPOUND_STMT:
            return dict(ctx, stmt=(kid.extent.start.line, kid.extent.end.line))
        return ctx

    def is_constexpr(self, c):
        head = self.tokens_between(c.extent.start.offset, c.location.offset)
        return any(t.spelling == 'constexpr' for t in head)

    def visit(self, c, ctx):
        k = c.kind
        stmt = ctx.get('stmt')
        if k == K.BINARY_OPERATOR:
            kids = list(c.get_children())
            if len(kids) == 2 and self.spans_here(c):
                i = self.token_at(kids[0].extent.end.offset)
                if i < len(self.tokens) and \
                        self.tokens[i].extent.start.offset < kids[1].extent.start.offset:
                    self.binary(kids, self.tokens[i], stmt)
        elif k == K.CALL_EXPR:
            self.call(c, ctx, stmt)
        elif k == K.UNARY_OPERATOR:
            first = self.tokens[self.token_at(c.extent.start.offset)]
            if first.spelling == '!' and first.extent.start.offset == c.extent.start.offset:
                s = first.extent.start.offset
                self.add('not-drop', s, s + 1, '', stmt, detail='! dropped')
        elif k == K.CXX_BOOL_LITERAL_EXPR:
            s, e = c.extent.start.offset, c.extent.end.offset
            old = self.data[s:e].decode()
            if old in ('true', 'false'):
                self.add('bool-negate', s, e, 'false' if old == 'true' else 'true', stmt)
        elif k == K.RETURN_STMT and ctx.get('result') is not None:
            self.return_status(c, ctx['result'], stmt)
        if k in STATEMENT_PARENTS:
            for kid in c.get_children():
                self.call_statement(kid, (kid.extent.start.line, kid.extent.end.line))

    def binary(self, kids, tok, stmt):
        op = tok.spelling
        s = tok.extent.start.offset
        if op in ORDERING:
            self.add('rel-bound', s, s + len(op), ORDERING[op], stmt)
        elif op in EQUALITY:
            self.add('rel-negate', s, s + len(op), EQUALITY[op], stmt)
        elif op in LOGIC:
            self.add('logic', s, s + len(op), LOGIC[op], stmt)
            return
        else:
            return
        if op in ORDERING:
            for side, kid in enumerate(kids):
                self.bound_operand(kid, -REL_BOUND_SHIFT[op][side], stmt)

    def return_status(self, c, result, stmt):
        """`return CONSTANT;` in a function that returns an integer or an enum."""
        kids = list(c.get_children())
        if len(kids) != 1 or not self.spans_here(c):
            return
        expr = _strip(kids[0])
        ref = expr.referenced if expr.kind == K.DECL_REF_EXPR else None
        t = result.get_canonical()
        s, e = expr.extent.start.offset, expr.extent.end.offset
        if t.kind == ci.TypeKind.ENUM:
            if ref is None or ref.kind != K.ENUM_CONSTANT_DECL:
                return
            value = ref.enum_value
            others = [x for x in t.get_declaration().get_children()
                      if x.kind == K.ENUM_CONSTANT_DECL and x.enum_value != value]
            target = next((x for x in others if x.enum_value == (0 if value else 1)),
                          others[0] if others else None)
            if target is not None:
                last = self.tokens_between(s, e)[-1].extent
                self.add('return-status', last.start.offset, last.end.offset,
                         target.spelling, stmt)
        elif t.kind in INTEGER_TYPES:
            if expr.kind not in (K.INTEGER_LITERAL, K.UNARY_OPERATOR, K.DECL_REF_EXPR) or (
                    ref is not None and ref.kind != K.ENUM_CONSTANT_DECL
                    and not ref.type.get_canonical().is_const_qualified()):
                return
            value = _evaluate(expr)
            if value is not None:
                unsigned = t.kind in UNSIGNED_TYPES
                self.add('return-status', s, e, '0' if value else ('1' if unsigned else '-1'),
                         stmt)

    def bound_operand(self, c, delta, stmt):
        """Literals and named constants that an operand of a comparison adds up: each
        becomes an int-bound site, moved by delta (times its sign in the sum)."""
        c = _strip(c)
        if c.kind == K.INTEGER_LITERAL:
            self.int_literal(c, delta, stmt)
        elif c.kind == K.DECL_REF_EXPR:
            self.note_bound_use(c.referenced, delta)
        elif c.kind == K.BINARY_OPERATOR:
            kids = list(c.get_children())
            if len(kids) == 2:
                op = self.tokens[self.token_at(kids[0].extent.end.offset)].spelling
                if op in ('+', '-'):
                    self.bound_operand(kids[0], delta, stmt)
                    self.bound_operand(kids[1], delta if op == '+' else -delta, stmt)
        elif c.kind == K.CONDITIONAL_OPERATOR:
            for kid in list(c.get_children())[1:]:
                self.bound_operand(kid, delta, stmt)

    def int_literal(self, c, delta, stmt):
        s, e = c.extent.start.offset, c.extent.end.offset
        spelling = self.data[s:e].decode()
        value = _evaluate(c)
        if value is None or value + delta < 0 or not re.match(r'^[0-9]', spelling):
            return
        self.add('int-bound', s, e, _literal_text(spelling, value + delta), stmt)

    def call(self, c, ctx, stmt):
        ref = c.referenced
        name = c.spelling or ''
        if name.startswith('operator'):
            op = name[len('operator'):]
            kids = list(c.get_children())
            if op in ORDERING or op in EQUALITY:
                for kid in kids:
                    if kid.spelling == name and kid.kind != K.CALL_EXPR:
                        s, e = kid.extent.start.offset, kid.extent.end.offset
                        if self.data[s:e].decode() == op:
                            self.add('rel-bound' if op in ORDERING else 'rel-negate', s, e,
                                     {**ORDERING, **EQUALITY}[op], stmt)
            return
        if ref is None or not self.spans_here(c):
            return
        # Arguments that a parameter named as a length takes.
        params = [p.spelling for p in ref.get_arguments()] \
            if ref.kind in FUNCTIONS or ref.kind == K.CONSTRUCTOR else []
        args = list(c.get_arguments())
        for param, arg in zip(params, args):
            if LENGTH_PARAM.search(param or ''):
                lit = _strip(arg)
                if lit.kind == K.INTEGER_LITERAL:
                    value = _evaluate(lit)
                    self.int_literal(lit, -1 if value else 1, stmt)
                elif lit.kind == K.DECL_REF_EXPR:
                    self.note_bound_use(lit.referenced, -1)

    def call_statement(self, c, stmt):
        """c, a child of a statement container: a call whose result nobody reads?"""
        inner = _strip(c)
        s, e = c.extent.start.offset, c.extent.end.offset
        if inner.kind == K.CSTYLE_CAST_EXPR:
            kids = list(inner.get_children())
            head = [t.spelling for t in self.tokens_between(s, s + 6)][:3]
            if head != ['(', 'void', ')'] or len(kids) != 1:
                return
            inner = _strip(kids[0])
        if inner.kind != K.CALL_EXPR or (inner.spelling or '').startswith('operator'):
            return
        ref = inner.referenced
        if ref is None or ref.kind == K.CONSTRUCTOR:
            return
        after = self.token_at(e)
        if after >= len(self.tokens) or self.tokens[after].spelling != ';':
            return
        # A call a macro names (va_end) is the macro's business, not this file's.
        if any(a <= inner.extent.start.offset < b for a, b in self.expansions):
            return
        self.add('call-delete', s, e, '', stmt,
                 detail=f'{inner.spelling}(...) deleted')

    def note_constant(self, c, ctx):
        """A const integer initialized with a plain literal: a named bound if a
        comparison or a length argument uses it (decided once the file is walked)."""
        kids = [k for k in c.get_children() if k.kind not in (K.TYPE_REF, K.NAMESPACE_REF)]
        if len(kids) == 1:
            lit = _strip(kids[0])
            if lit.kind == K.INTEGER_LITERAL and c.type.get_canonical().kind in INTEGER_TYPES:
                self.constants[c.location.offset] = (lit, ctx.get('stmt'))

    def finish(self):
        for offset, (lit, stmt) in sorted(self.constants.items()):
            if offset in self.bound_uses:
                value = _evaluate(lit)
                delta = -1 if value else 1
                self.int_literal(lit, delta, stmt)


def find_mutants(root, rel, args):
    """The mutants of root/rel, parsed with the compiler arguments args. Returns (mutants,
    errors): errors lists the parser's error diagnostics (then the mutants are not to be
    trusted)."""
    path = f'{root}/{rel}'
    with open(path, 'rb') as f:
        data = f.read()
    index = ci.Index.create()
    tu = index.parse(path, args=['-x', 'c++'] + args,
                     options=ci.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD)
    errors = [str(d) for d in tu.diagnostics if d.severity >= ci.Diagnostic.Error]
    fs = FileSites(tu, path, rel, data)
    for c in tu.cursor.get_children():
        if fs.in_file(c):
            fs.walk(c, {})
    fs.finish()
    mutants = name_mutants(fs.mutants)
    for m in mutants:
        m['mutated'] = mutated_line(data, m)
    return mutants, errors


def name_mutants(mutants):
    """Stable names, file:line:operator, with #2, #3 ... for more sites of one operator on
    one line (in the order of the line)."""
    mutants.sort(key=lambda m: (m['start'], m['op']))
    seen = {}
    out = []
    for m in mutants:
        key = (m['file'], m['line'], m['op'])
        if any(o['start'] == m['start'] and o['op'] == m['op'] for o in seen.get(key, [])):
            continue  # one site reached twice (a literal in two comparisons)
        seen.setdefault(key, []).append(m)
        n = len(seen[key])
        m['name'] = f"{m['file']}:{m['line']}:{m['op']}" + (f'#{n}' if n > 1 else '')
        out.append(m)
    return out


def apply(data, m):
    """data (bytes of the file) with mutant m applied, or None when the text at the site is
    no longer what the mutant was made from."""
    if data[m['start']:m['end']].decode(errors='replace') != m['old']:
        return None
    return data[:m['start']] + m['new'].encode() + data[m['end']:]


def mutated_line(data, m):
    """The line of m as the mutant leaves it, stripped ('(deleted) ' and the line as it was,
    for a call deleted): how the equivalents list names a site, so that an entry follows its
    line when lines above it move."""
    text = apply(data, m) if m['op'] != 'call-delete' else data
    start = text.rfind(b'\n', 0, m['start']) + 1
    end = text.find(b'\n', m['start'])
    line = text[start:end if end >= 0 else len(text)].decode().strip()
    return f'(deleted) {line}' if m['op'] == 'call-delete' else line
