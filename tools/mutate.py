"""Mutation check: does the test suite notice small faults in the C++ of the native modules, or in the road's
Python?

Makes a seeded random sample of mutants of the chosen files, puts each one in place in a private copy (the
C++ rebuilt incrementally in build/mutate/, the Python written into a copy of the installed package in
build/mutate/python/), and runs the tests that concern the mutated module with -x against it. Equivalent
mutants (the same object code, or the same bytecode) are not tested; stillborn ones do not compile. The score
is killed / (killed + survived); the survivors are printed with their diffs to be judged. The exit status is 0
when the score reaches the language's threshold (C++ 95%, Python 90%).

    .venv/bin/python tools/mutate.py [--count 200] [--seed 8] [--files GLOB ...] [--only ID ...]
    .venv/bin/python tools/mutate.py --lang python [--count 60] ...   # src/lumivex/upscale and transform

The language comes from --lang, or from the files or ids given. Run it after `bash tools/test.sh` has made
.venv (and installed the working tree's package). The working tree is never modified, so the suite can keep
running from it meanwhile.
"""

import argparse
import dataclasses
import json
import pathlib
import random
import signal
import sys
import time

import mutate_cpp
import mutate_python
from mutate_common import ROOT, WORK

LANGUAGES = {"c++": mutate_cpp, "python": mutate_python}


def language_of(paths, chosen):
    """The mode for `paths`, which must all be of one language (and of `chosen`, when given)."""
    suffixes = {pathlib.Path(path).suffix for path in paths}
    modes = [mode for mode in LANGUAGES.values() if {mode.SUFFIX} == suffixes]
    if not modes or (chosen and LANGUAGES[chosen] is not modes[0]):
        sys.exit(f"mutate: one language at a time{f' ({chosen})' if chosen else ''}: {paths}")
    return modes[0]


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("mutate: terminated"))  # so the mutated file is restored
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lang", choices=sorted(LANGUAGES), help="what to mutate by default (default c++)")
    parser.add_argument("--count", type=int, default=200, help="mutants to sample (default 200)")
    parser.add_argument("--seed", type=int, default=8, help="seed of the sample (default 8)")
    parser.add_argument("--files", nargs="*", help="source globs to mutate (default: the language's files)")
    parser.add_argument("--only", nargs="*", help="run just these mutant ids (as printed in a report)")
    parser.add_argument("--timeout", type=int, default=120,
                        help="seconds per mutant's test run (at least 3 times the unmutated run's)")
    parser.add_argument("--python", default=str(ROOT / ".venv" / "bin" / "python"),
                        help="the interpreter lumivex is installed for (default .venv's)")
    parser.add_argument("--report", default=str(WORK / "report.json"))
    parser.add_argument("--list", action="store_true", help="only count the candidate mutants per operator")
    args = parser.parse_args()

    if args.only:
        globs = sorted({ident.split(":", 1)[0] for ident in args.only})
    else:
        globs = args.files or LANGUAGES[args.lang or "c++"].DEFAULT_FILES
    paths = sorted({str(p.relative_to(ROOT)) for pattern in globs for p in ROOT.glob(pattern)})
    if not paths:
        sys.exit(f"mutate: no file matches {globs}")
    mode = language_of(paths, args.lang)
    candidates = [m for path in paths for m in mode.mutants_of(path)]
    if args.list:
        counts = {}
        for m in candidates:
            counts[m.operator] = counts.get(m.operator, 0) + 1
        print(len(candidates), "candidates:", json.dumps(counts))
        return 0
    if args.only:
        wanted = set(args.only)
        sample = [m for m in candidates if m.ident() in wanted]
    else:
        sample = random.Random(args.seed).sample(candidates, min(args.count, len(candidates)))
        sample.sort(key=lambda m: (m.path, m.line))  # keeps incremental rebuilds to one object at a time

    workspace = mode.Workspace(args.python)
    started = time.monotonic()
    code, out = workspace.check(sample, args.timeout * 3)
    if code != 0:
        sys.exit(f"mutate: the unmutated {mode.LANGUAGE} fails its tests:\n{out[-3000:]}")
    # A survivor runs every test it is given: the limit must leave room for that on a busy machine.
    timeout = max(args.timeout, 3 * round(time.monotonic() - started))

    results, started = [], time.monotonic()
    try:
        for n, mutant in enumerate(sample, 1):
            verdict, detail = workspace.judge(mutant, timeout)
            results.append({**dataclasses.asdict(mutant), "id": mutant.ident(), "verdict": verdict,
                            "detail": detail})
            print(f"[{n}/{len(sample)}] {verdict:10} {mutant.ident()}  {' '.join(mutant.mutated.split())[:90]}",
                  flush=True)
    finally:
        workspace.close()

    tally = {v: sum(r["verdict"] == v for r in results) for v in ["killed", "survived", "equivalent", "stillborn"]}
    tested = tally["killed"] + tally["survived"]
    score = 100.0 * tally["killed"] / tested if tested else 100.0
    pathlib.Path(args.report).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.report).write_text(json.dumps({"language": mode.LANGUAGE, "tally": tally, "score": score,
                                                     "mutants": results}, indent=1))
    print(f"\n{len(results)} {mode.LANGUAGE} mutants in {time.monotonic() - started:.0f} s: {json.dumps(tally)}")
    print(f"score: {tally['killed']}/{tested} behaviour-changing mutants killed = {score:.1f}% "
          f"(at least {mode.THRESHOLD:.0f}% needed)")
    for r in results:
        if r["verdict"] == "survived":
            print(f"\nSURVIVED {r['id']}")
            print("\n".join([f"  - {line.strip()}" for line in r["original"].splitlines()]
                            + [f"  + {line.strip()}" for line in r["mutated"].splitlines()]))
    return 0 if score >= mode.THRESHOLD else 1


if __name__ == "__main__":
    sys.exit(main())
