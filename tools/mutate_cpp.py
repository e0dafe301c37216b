"""The C++ mode of tools/mutate.py: mutants of src/lumivex_source (comparison and operator flips, changed
constants, negated conditions, deleted statements and error checks, swapped call arguments, ownership flips),
each built incrementally in a private copy of the sources (build/mutate/tree, build/mutate/build) and tested
against a package laid out in build/mutate/site. A mutant whose object file is identical to the original's is
equivalent by construction; one that does not compile is stillborn.
"""

import re
import shutil
import sys

from mutate_common import ROOT, WORK, Mutant, private_interpreter, run, run_tests

LANGUAGE = "C++"
SUFFIX = ".cpp"
THRESHOLD = 95.0  # per cent of the behaviour-changing mutants killed
DEFAULT_FILES = ["src/lumivex_source/utils/*.cpp", "src/lumivex_source/upscale/*.cpp",
                 "src/lumivex_source/runtime/*.cpp"]
TREE = WORK / "tree"
BUILD = WORK / "build"
SITE = WORK / "site"
# The tests run for a mutant, its module's own first so that -x stops early. The module frames (shapery.cpp,
# tile.cpp) and the runtime also get the frame, import and linkage tests.
OWN_TESTS = {
    "utils": ["test_layout.py", "test_batch.py", "test_pixelshift.py"],
    "upscale": ["test_tile.py"],
    "runtime": ["test_binding.py", "test_frames.py"],
    "testing": ["test_boundary.py"],
}
BODY_TESTS = ["test_tracebacks.py", "test_leaks.py", "test_binding.py"]
FRAME_TESTS = ["test_frames.py", "test_import_failures.py", "test_linkage.py"]
FRAME_SOURCES = {"shapery.cpp", "tile.cpp"}
# The shipped modules, linked into the site; the test-only ones stay in the build folder, where the tests
# find them through LUMIVEX_TEST_MODULE_DIR, as they find the real build's outside the installed package.
MODULES = {"utils": "shapery", "upscale": "tile"}

# (name, pattern, replacement) applied at each match on a code line; the replacement may use groups.
FLIPS = [
    ("relational", r"(?<=\s)<(?=\s)", "<="), ("relational", r"(?<=\s)<=(?=\s)", "<"),
    ("relational", r"(?<=\s)>(?=\s)", ">="), ("relational", r"(?<=\s)>=(?=\s)", ">"),
    ("relational", r"(?<=\s)==(?=\s)", "!="), ("relational", r"(?<=\s)!=(?=\s)", "=="),
    ("richcompare", r"\bPy_LT\b", "Py_LE"), ("richcompare", r"\bPy_LE\b", "Py_LT"),
    ("richcompare", r"\bPy_GT\b", "Py_GE"), ("richcompare", r"\bPy_GE\b", "Py_GT"),
    ("richcompare", r"\bPy_EQ\b", "Py_NE"), ("richcompare", r"\bPy_NE\b", "Py_EQ"),
    ("logical", r"(?<=\s)&&(?=\s)", "||"), ("logical", r"(?<=\s)\|\|(?=\s)", "&&"),
    ("arithmetic", r"(?<=\s)\+(?=\s)", "-"), ("arithmetic", r"(?<=\s)-(?=\s)", "+"),
    ("arithmetic", r"\+\+", "--"), ("arithmetic", r"(?<=\s)\+=(?=\s)", "-="),
    ("negate", r"\(!(?=[\w(])", "("), ("negate", r"\bif \((?=[\w.]+(->\w+)?\(?\)?\))", "if (!"),
    ("return", r"\breturn -1;", "return 0;"), ("return", r"\breturn 0;", "return -1;"),
    ("ownership", r"\bRef::steal\(", "Ref::borrow("), ("ownership", r"\bRef::borrow\(", "Ref::steal("),
    ("ownership", r"\bPy_(X?)DECREF\(", r"(void)("), ("ownership", r"\bPy_(X?)INCREF\(", r"(void)("),
    ("boolean", r"\btrue\b", "false"), ("boolean", r"\bfalse\b", "true"),
    ("rtops", r"\brt::add\(", "rt::subtract("), ("rtops", r"\brt::subtract\(", "rt::add("),
    ("rtops", r"\brt::multiply\(", "rt::add("), ("rtops", r"\brt::inplace_add\(", "rt::inplace_subtract("),
    ("rtops", r"\brt::inplace_subtract\(", "rt::inplace_add("),
    ("rtops", r"\brt::inplace_multiply\(", "rt::inplace_add("),
    ("rtops", r"\brt::true_divide\(", "rt::multiply("),
    ("rtops", r"\brt::floor_divide\(", "rt::true_divide("),
]
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
# Statements worth deleting: single-line ifs (error checks), calls, assignments to existing names.
DELETABLE = re.compile(r"^\s*(if \(.*;|[\w:.>\-\[\]]+\(.*\);|[\w.\[\]]+(->\w+)? [-+*]?= .*;|Py_\w+\(.*\);)\s*$")


def code_spans(line):
    """Spans of `line` outside string and character literals and before a // comment."""
    spans, start, i, quote = [], 0, 0, None
    while i < len(line):
        ch = line[i]
        if quote:
            if ch == "\\":
                i += 1
            elif ch == quote:
                quote, start = None, i + 1
        elif ch in "\"'":
            spans.append((start, i))
            quote = ch
        elif line.startswith("//", i):
            spans.append((start, i))
            return spans
        i += 1
    if not quote:
        spans.append((start, len(line)))
    return spans


def inside(spans, begin, end):
    return any(a <= begin and end <= b for a, b in spans)


def swapped_arguments(line, spans):
    """Variants of `line` with two adjacent top-level arguments of one call exchanged."""
    variants = []
    for open_at in (m.start() for m in re.finditer(r"\w\(", line)):
        open_at += 1
        depth, args, arg_start = 0, [], open_at + 1
        for i in range(open_at, len(line)):
            ch = line[i]
            if ch in "([{":
                depth += 1
            elif ch in ")]}":
                depth -= 1
                if depth == 0:
                    args.append((arg_start, i))
                    break
            elif ch == "," and depth == 1:
                args.append((arg_start, i))
                arg_start = i + 1
        else:
            continue
        if not inside(spans, open_at, args[-1][1]):
            continue
        for (a0, a1), (b0, b1) in zip(args, args[1:]):
            first, second = line[a0:a1].strip(), line[b0:b1].strip()
            if first and second and first != second:
                variants.append(line[:a0] + line[a0:a1].replace(first, second) + line[a1:b0]
                                + line[b0:b1].replace(second, first) + line[b1:])
    return variants


def mutants_of(path):
    lines = (ROOT / path).read_text().splitlines()
    found = []
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if not stripped or stripped.startswith(("//", "#", "extern \"C\"")) or "static_assert" in line:
            continue
        spans = code_spans(line)

        def add(operator, new):
            if new != line:
                found.append(Mutant(path, number, operator, line, new))

        for operator, pattern, replacement in FLIPS:
            for m in re.finditer(pattern, line):
                if inside(spans, m.start(), m.end()):
                    add(operator, line[:m.start()] + m.expand(replacement) + line[m.end():])
        for m in NUMBER.finditer(line):
            if inside(spans, m.start(), m.end()):
                value = int(m.group(1))
                for new in {value + 1, max(value - 1, 0)} - {value}:
                    add("constant", line[:m.start()] + str(new) + line[m.end():])
        if DELETABLE.match(line) and not stripped.startswith(("return", "} else")):
            add("delete", re.sub(r"\S.*", "", line))
        for variant in swapped_arguments(line, spans):
            add("swap-arguments", variant)
    return found


def object_code(objects):
    # The whole object file: code, relocations and initialised data (a type object filled at compile time
    # lives in .data). The compiler's output is deterministic, so equal bytes mean an equivalent mutant.
    return {obj: obj.read_bytes() for obj in objects}


def objects_of(path):
    return sorted(BUILD.glob(f"CMakeFiles/*.dir/{path}.o"))


def build():
    return run(["cmake", "--build", str(BUILD), "-j1"], 600)


def tests_for(path):
    parts = path.split("/")
    area, name = parts[2], parts[-1]
    if area == "runtime":
        files = OWN_TESTS["runtime"] + sorted(p.name for p in (ROOT / "tests").glob("test_*.py"))
    else:
        files = OWN_TESTS[area] + BODY_TESTS + (FRAME_TESTS if name in FRAME_SOURCES else [])
    return list(dict.fromkeys(f for f in files if f != "test_services.py"))


class Workspace:
    """The private build the mutants are compiled in, and the interpreter whose tests see them."""

    def __init__(self, python):
        self.python = self._prepare(python)
        self.baseline = object_code(sorted(BUILD.glob("CMakeFiles/*.dir/**/*.o")))

    def _prepare(self, python):
        WORK.mkdir(parents=True, exist_ok=True)
        for part in ["CMakeLists.txt", "cmake", "src/lumivex_source"]:
            top = ROOT / part
            sources = [top] if top.is_file() else sorted(p for p in top.rglob("*") if p.is_file())
            for source in sources:
                # Written afresh only when it differs (an interrupted run may have left a mutant), with a new
                # modification time so that the build sees it.
                target = TREE / source.relative_to(ROOT)
                if not target.exists() or target.read_bytes() != source.read_bytes():
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_bytes(source.read_bytes())
        # Configured every time: a build folder made before the test-only modules had an option lacks it.
        generator = [] if (BUILD / "CMakeCache.txt").exists() or not shutil.which("ninja") else ["-G", "Ninja"]
        code, out = run(["cmake", "-S", str(TREE), "-B", str(BUILD), *generator, "-DCMAKE_BUILD_TYPE=Release",
                         "-DLUMIVEX_TEST_MODULES=ON", f"-DPython_EXECUTABLE={python}"], 600)
        if code != 0:
            sys.exit(f"mutate: configuring the private build failed:\n{out}")
        code, out = build()
        if code != 0:
            sys.exit(f"mutate: building the unmutated sources failed:\n{out}")
        # Afresh, so that modules moved or removed in the working tree are gone here too.
        shutil.rmtree(SITE / "lumivex", ignore_errors=True)
        shutil.copytree(ROOT / "src" / "lumivex", SITE / "lumivex", ignore=shutil.ignore_patterns("__pycache__"))
        for folder, module in MODULES.items():
            (built,) = BUILD.glob(f"{module}.*.so")
            (SITE / "lumivex" / folder / built.name).symlink_to(built)
        return private_interpreter(WORK / "venv", SITE, python)

    def check(self, mutants, timeout):
        """Runs the tests on the unmutated build, which must pass them: all of them."""
        return self.run_tests(tests_for("src/lumivex_source/runtime/-"), timeout)

    def run_tests(self, files, timeout):
        return run_tests(self.python, files, timeout, LUMIVEX_TEST_MODULE_DIR=str(BUILD))

    def judge(self, mutant, timeout):
        source = TREE / mutant.path
        original = source.read_text()
        try:
            source.write_text(mutant.apply(original))
            code, out = build()
            if code != 0:
                return "stillborn", ""
            objects = objects_of(mutant.path)
            if object_code(objects) == {o: self.baseline[o] for o in objects}:
                return "equivalent", ""
            code, out = self.run_tests(tests_for(mutant.path), timeout)
            if code == 0:
                return "survived", ""
            return "killed", out.strip().splitlines()[-1] if out.strip() else f"exit {code}"
        finally:
            source.write_text(original)
            source.touch()

    def close(self):
        build()  # back to the unmutated objects
