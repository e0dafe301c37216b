"""The Python mode of tools/mutate.py: mutants of the road's Python (src/lumivex/upscale, src/lumivex/transform),
found on the syntax tree and written as small edits of the source text, tested against a copy of the installed
package in build/mutate/python/site with the mutated file in it. A mutant that compiles to the same bytecode as
the original (line numbers aside) is equivalent; one that does not compile is stillborn.

A mutated module's tests are the test files that import it, directly first, then through other modules of the
package, so that new test files join without a list to keep.
"""

import ast
import re
import shutil
import sys

from mutate_common import ROOT, WORK, Mutant, private_interpreter, run_tests, seconds_per_file, site_packages

LANGUAGE = "Python"
SUFFIX = ".py"
THRESHOLD = 90.0  # per cent of the behaviour-changing mutants killed
DEFAULT_FILES = ["src/lumivex/upscale/**/*.py", "src/lumivex/transform/**/*.py"]
SITE = WORK / "python" / "site"
PACKAGE = ROOT / "src" / "lumivex"

# Each operator once to another of like kind. `**`, `&` and `|` bind differently from what they become, so
# those mutants are written as the whole expression in parentheses rather than as a changed token.
ARITHMETIC = {ast.Add: ast.Sub, ast.Sub: ast.Add, ast.Mult: ast.Div, ast.Div: ast.Mult, ast.FloorDiv: ast.Div,
              ast.Mod: ast.FloorDiv, ast.LShift: ast.RShift, ast.RShift: ast.LShift, ast.BitXor: ast.BitOr,
              ast.Pow: ast.Mult, ast.BitAnd: ast.BitOr, ast.BitOr: ast.BitAnd}
REGROUPED = {ast.Pow, ast.BitAnd, ast.BitOr}
RELATIONAL = {ast.Lt: ast.LtE, ast.LtE: ast.Lt, ast.Gt: ast.GtE, ast.GtE: ast.Gt, ast.Eq: ast.NotEq,
              ast.NotEq: ast.Eq, ast.Is: ast.IsNot, ast.IsNot: ast.Is, ast.In: ast.NotIn, ast.NotIn: ast.In}
SYMBOLS = {ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/", ast.FloorDiv: "//", ast.Mod: "%",
           ast.Pow: "**", ast.LShift: "<<", ast.RShift: ">>", ast.BitOr: "|", ast.BitAnd: "&", ast.BitXor: "^",
           ast.Lt: "<", ast.LtE: "<=", ast.Gt: ">", ast.GtE: ">=", ast.Eq: "==", ast.NotEq: "!=", ast.Is: "is",
           ast.IsNot: "is not", ast.In: "in", ast.NotIn: "not in", ast.And: "and", ast.Or: "or"}
# Strings that name image modes, dtypes and interpolations: one changed for another the same code could take.
STRINGS = {"1": "L", "L": "LA", "LA": "L", "RGB": "RGBA", "RGBA": "RGB", "linear": "area", "area": "linear",
           "uint8": "uint16", "uint16": "uint8", "float16": "float32", "float32": "float64", "float64": "float32",
           "reflect": "edge", "edge": "reflect"}
DTYPES = {"uint8": "uint16", "uint16": "uint8", "float16": "float32", "float32": "float64", "float64": "float32"}
# Calls whose arguments can trade places without changing the result: swapping them is no mutant.
SYMMETRIC = {"min", "max", "maximum", "minimum", "hypot", "samefile", "array_equal", "shares_memory"}
DELETABLE = (ast.Expr, ast.Assign, ast.AugAssign, ast.AnnAssign, ast.Raise, ast.Delete, ast.Break, ast.Continue,
             ast.If)
_SOLID = re.compile(r"#[^\n]*|[^\s()\\#]+")  # in the gap between two operands: comments, and the operator's words


def module_name(path):
    """lumivex.upscale.files for src/lumivex/upscale/files.py; a package's __init__.py is the package."""
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


class Source:
    """A file's text with its syntax tree, and absolute offsets for the tree's (line, UTF-8 column) positions."""

    def __init__(self, path):
        self.path = path
        self.text = (ROOT / path).read_text(encoding="utf-8")
        self.tree = ast.parse(self.text, path)
        self.lines = self.text.splitlines(keepends=True)
        self.starts = [0]
        for line in self.lines:
            self.starts.append(self.starts[-1] + len(line))

    def offset(self, line, column):
        return self.starts[line - 1] + len(self.lines[line - 1].encode()[:column].decode())

    def span(self, node):
        return self.offset(node.lineno, node.col_offset), self.offset(node.end_lineno, node.end_col_offset)

    def segment(self, node):
        begin, end = self.span(node)
        return self.text[begin:end]

    def mutant(self, operator, edits):
        """The mutant made by `edits`, (begin, end, new text) in absolute offsets, as replaced whole lines."""
        edits = sorted(edits)
        first = self.text.count("\n", 0, edits[0][0]) + 1
        last = self.text.count("\n", 0, max(end for _, end, _ in edits)) + 1
        begin, end = self.starts[first - 1], self.starts[last]
        region = self.text[begin:end]
        for start, stop, new in reversed(edits):
            region = region[:start - begin] + new + region[stop - begin:]
        return Mutant(self.path, first, operator, self.text[begin:end].rstrip("\n"), region.rstrip("\n"), last)


def operator_token(source, begin, end, words):
    """The span of the operator spelt `words` between offsets begin and end (the gap between two operands,
    which holds besides it only brackets, blanks, comments and line continuations), or None."""
    found = [m for m in _SOLID.finditer(source.text, begin, end) if not m.group().startswith("#")]
    if " ".join(m.group() for m in found) != words:
        return None
    return found[0].start(), found[-1].end()


def skipped(node):
    """Subtrees that hold no behaviour worth a mutant: docstrings and other bare constants, the script entry
    point, and imports only under a type checker."""
    if isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant):
        return True
    if isinstance(node, ast.If):
        test = ast.unparse(node.test)
        return test in ("__name__ == '__main__'", "TYPE_CHECKING", "typing.TYPE_CHECKING")
    return False


def walk(tree):
    """The nodes to mutate, annotations, f-string literal parts and match patterns left out."""
    stack = [tree]
    while stack:
        node = stack.pop()
        yield node
        for field, value in ast.iter_fields(node):
            if field in ("annotation", "returns", "pattern", "format_spec"):
                continue
            for child in value if isinstance(value, list) else [value]:
                if not isinstance(child, ast.AST) or skipped(child):
                    continue
                if isinstance(node, ast.JoinedStr) and isinstance(child, ast.Constant):
                    continue
                stack.append(child)


def constant_variants(value):
    if isinstance(value, bool):
        return [not value]
    if isinstance(value, int):
        return [value + 1] + ([value - 1] if value > 0 else [])  # negative literals are a minus and a constant
    if isinstance(value, float):
        return [value + 1, value / 2] if value else [1.0]
    if isinstance(value, str) and value in STRINGS:
        return [STRINGS[value]]
    return []


def mutants_of(path):
    source = Source(path)
    found = []

    def add(operator, *edits):
        found.append(source.mutant(operator, edits))

    for node in walk(source.tree):
        if isinstance(node, ast.BinOp) and type(node.op) in ARITHMETIC:
            new = ARITHMETIC[type(node.op)]
            if type(node.op) in REGROUPED:
                changed = ast.BinOp(node.left, new(), node.right)
                add("arithmetic", (*source.span(node), f"({ast.unparse(changed)})"))
            else:
                token = operator_token(source, source.span(node.left)[1], source.span(node.right)[0],
                                       SYMBOLS[type(node.op)])
                if token:
                    add("arithmetic", (*token, SYMBOLS[new]))
        elif isinstance(node, ast.AugAssign) and type(node.op) in ARITHMETIC:
            token = operator_token(source, source.span(node.target)[1], source.span(node.value)[0],
                                   SYMBOLS[type(node.op)] + "=")
            if token:
                add("arithmetic", (*token, SYMBOLS[ARITHMETIC[type(node.op)]] + "="))
        elif isinstance(node, ast.Compare):
            for left, op, right in zip([node.left, *node.comparators], node.ops, node.comparators):
                token = operator_token(source, source.span(left)[1], source.span(right)[0], SYMBOLS[type(op)])
                if token:
                    add("relational", (*token, SYMBOLS[RELATIONAL[type(op)]]))
        elif isinstance(node, ast.BoolOp):
            other = "or" if isinstance(node.op, ast.And) else "and"
            tokens = [operator_token(source, source.span(a)[1], source.span(b)[0], SYMBOLS[type(node.op)])
                      for a, b in zip(node.values, node.values[1:])]
            if all(tokens):
                add("logical", *[(*token, other) for token in tokens])
        elif isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.Not, ast.USub)):
            token = operator_token(source, source.span(node)[0], source.span(node.operand)[0],
                                   "not" if isinstance(node.op, ast.Not) else "-")
            if token:
                add("negate" if isinstance(node.op, ast.Not) else "arithmetic", (*token, ""))
        elif isinstance(node, ast.Constant):
            for value in constant_variants(node.value):
                add("string" if isinstance(value, str) else "constant", (*source.span(node), repr(value)))
        elif isinstance(node, ast.Attribute) and node.attr in DTYPES:
            end = source.span(node)[1]
            add("dtype", (end - len(node.attr), end, DTYPES[node.attr]))
        elif isinstance(node, ast.Call) and not any(isinstance(a, ast.Starred) for a in node.args) \
                and called_name(node) not in SYMMETRIC:
            for a, b in zip(node.args, node.args[1:]):
                first, second = source.segment(a), source.segment(b)
                if first != second:
                    add("swap-arguments", (*source.span(a), second), (*source.span(b), first))
        elif isinstance(node, ast.comprehension):
            for test in node.ifs:
                add("negate", (*source.span(test), f"not ({source.segment(test)})"))
        if isinstance(node, (ast.If, ast.While, ast.IfExp)):
            add("negate", (*source.span(node.test), f"not ({source.segment(node.test)})"))
        # True and False returned are the constant operator's, and None for False mostly reads the same.
        if isinstance(node, ast.Return) and node.value is not None and not (
                isinstance(node.value, ast.Constant) and any(node.value.value is v for v in (None, True, False))):
            add("return", (*source.span(node.value), "None"))
        if isinstance(node, DELETABLE) and not (isinstance(node, ast.If) and node.orelse) and not dunder(node):
            add("delete", (*source.span(node), "pass"))
    unique = {}  # one of each, where two edits come to the same text
    for mutant in found:
        unique.setdefault(mutant.ident(), mutant)
    return list(unique.values())


def called_name(call):
    """`f` for f(...) and for a.b.f(...)."""
    function = call.func
    return function.attr if isinstance(function, ast.Attribute) else getattr(function, "id", None)


def dunder(node):
    """An assignment of __all__, __slots__ and the like: the module's interface, not its behaviour."""
    targets = getattr(node, "targets", [getattr(node, "target", None)])
    return any(isinstance(t, ast.Name) and t.id.startswith("__") for t in targets)


def fingerprint(code):
    """What a code object does, without where its lines are: equal for an equivalent mutant."""
    consts = tuple(fingerprint(c) if hasattr(c, "co_code") else (type(c).__name__, repr(c)) for c in code.co_consts)
    return (code.co_code, code.co_exceptiontable, code.co_names, code.co_varnames, code.co_freevars,
            code.co_cellvars, code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_flags,
            code.co_qualname, consts)


# ---- which tests see a module ----

def imported_modules(path, known):
    """The package's modules an import statement anywhere in `path` names, with the packages above them
    (their __init__ runs first); relative imports resolved against the package of `path`."""
    try:
        parts = module_name(path).split(".")
        if path.name != "__init__.py":
            parts = parts[:-1]
    except ValueError:  # a test file: absolute imports only
        parts = []
    names = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            names.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = ".".join(parts[:len(parts) - node.level + 1] + ([node.module] if node.module else []))
            names.add(base)
            names.update(f"{base}.{alias.name}" for alias in node.names)  # `from lumivex.upscale import files`
    found = set()
    for name in names:
        pieces = name.split(".")
        found.update(".".join(pieces[:n]) for n in range(1, len(pieces) + 1) if ".".join(pieces[:n]) in known)
    return found


def test_map(seconds):
    """For each module of the package, the test files that import it: those that do so directly first, then
    those that reach it through other modules, nearest first; among equals the quickest (by `seconds`) first,
    since -x stops at the first failure."""
    modules = {module_name(p): p for p in PACKAGE.rglob("*.py")}
    imports = {name: imported_modules(path, modules) for name, path in modules.items()}
    by_module = {name: [] for name in modules}
    for test in sorted((ROOT / "tests").glob("test_*.py")):
        reached, frontier, distance = {}, imported_modules(test, modules), 0
        while frontier:
            for name in frontier:
                reached.setdefault(name, distance)
            frontier = {m for name in frontier for m in imports[name]} - set(reached)
            distance += 1
        for name, hops in reached.items():
            by_module[name].append((hops, seconds.get(test.name, 0.0), test.name))
    return {name: [test for *_, test in sorted(tests)] for name, tests in by_module.items()}


class Workspace:
    """A copy of the installed package that the mutated files are written into, and the interpreter whose
    tests see it."""

    def __init__(self, python):
        installed = site_packages(python) / "lumivex"
        stale = [str(p.relative_to(ROOT)) for p in PACKAGE.rglob("*.py")
                 if not (installed / p.relative_to(PACKAGE)).is_file()
                 or (installed / p.relative_to(PACKAGE)).read_bytes() != p.read_bytes()]
        if stale:
            sys.exit(f"mutate: the installed package is not the working tree's (run bash tools/test.sh): {stale}")
        # Afresh each time, so that a mutant an interrupted run left behind is gone; without compiled files,
        # which a mutant of the same size written in the same second would not replace.
        shutil.rmtree(SITE, ignore_errors=True)
        shutil.copytree(installed, SITE / "lumivex", ignore=shutil.ignore_patterns("__pycache__"), symlinks=True)
        self.python = private_interpreter(WORK / "python" / "venv", SITE, python)
        self.map = test_map({})

    def tests_for(self, path):
        return self.map[module_name(ROOT / path)]

    def check(self, mutants, timeout):
        """Runs the tests of every mutated module on the unmutated package, which must pass them, and orders
        each module's tests by the time they took."""
        junit = WORK / "python" / "baseline.xml"
        files = list(dict.fromkeys(f for m in mutants for f in self.tests_for(m.path)))
        code, out = run_tests(self.python, files, timeout, options=[f"--junitxml={junit}", "-o",
                                                                   "junit_family=xunit1"])
        if code == 0:
            self.map = test_map(seconds_per_file(junit))
        return code, out

    def run_tests(self, files, timeout):
        return run_tests(self.python, files, timeout)

    def judge(self, mutant, timeout):
        original = (ROOT / mutant.path).read_text(encoding="utf-8")
        mutated = mutant.apply(original)
        try:
            code = compile(mutated, mutant.path, "exec", dont_inherit=True)
        except SyntaxError:
            return "stillborn", ""
        if fingerprint(code) == fingerprint(compile(original, mutant.path, "exec", dont_inherit=True)):
            return "equivalent", ""
        files = self.tests_for(mutant.path)
        if not files:
            return "survived", ""  # no test imports the module at all
        target = SITE / (ROOT / mutant.path).relative_to(PACKAGE.parent)
        try:
            target.write_text(mutated, encoding="utf-8")
            code, out = self.run_tests(files, timeout)
        finally:
            target.write_text(original, encoding="utf-8")
        if code == 0:
            return "survived", ""
        return "killed", out.strip().splitlines()[-1] if out.strip() else f"exit {code}"

    def close(self):
        pass
