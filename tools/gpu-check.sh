#!/usr/bin/env bash
# One command for a GPU machine without a network: builds lumivex with the build tools already installed, runs
# the whole test suite on real CuPy, every benchmark once in quick mode, whole video frames through the road
# (720p -> 1440p and 1080p -> 2160p with the shipped x2 network: frames per second and each stage's share) and
# the main job on the bundled photo, then writes a short summary (versions, GPU, pass/fail counts, benchmark
# figures), all within 8 minutes.
#   bash tools/gpu-check.sh [OUTPUT_FOLDER]       # default: gpu-check/ in the repository
# LUMIVEX_GPU_CHECK_DRY_RUN=1 rehearses it on a machine without a device, with the NumPy stand-in playing CuPy.
# Exit status: 0 when every step passed, 1 when one failed or ran out of time, 2 when it could not start.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$(mkdir -p "${1:-$ROOT/gpu-check}" && cd "${1:-$ROOT/gpu-check}" && pwd)" || {
    echo "gpu-check: cannot create the output folder ${1:-$ROOT/gpu-check}" >&2
    exit 2
}
SUMMARY="$OUT/summary.txt"
DEADLINE=$((SECONDS + 480))  # the whole check, build included
DRY_RUN="${LUMIVEX_GPU_CHECK_DRY_RUN:-0}"
export LUMIVEX_OFFLINE=1      # no index to ask: the dependencies are the ones installed
unset PYTHONPATH
[[ "$DRY_RUN" == 1 ]] && export LUMIVEX_FORCE_STANDIN=1
failed=0

say() { echo "$*" | tee -a "$SUMMARY"; }

# Runs a step under the smaller of its own limit and the time left; its output goes to $OUT/NAME.log.
run_step() {
    local name="$1" limit="$2" left rc
    shift 2
    left=$((DEADLINE - SECONDS))
    (( limit > left )) && limit=$left
    if (( limit <= 5 )); then
        echo "$name: skipped, the 8 minutes are spent" >>"$OUT/$name.log"
        return 124
    fi
    timeout "$limit" "$@" >"$OUT/$name.log" 2>&1
    rc=$?
    (( rc == 124 )) && echo "$name: stopped after ${limit} s" >>"$OUT/$name.log"
    return $rc
}

: >"$SUMMARY"
mode=""
[[ "$DRY_RUN" == 1 ]] && mode=" (dry run: NumPy stand-in, no device)"
say "lumivex GPU check, $(date -u '+%Y-%m-%d %H:%M UTC') on $(hostname)$mode"
say "commit $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"

# ---- build: the venv sees the system's packages (CuPy, NumPy, pytest, Pillow, the build tools) ----
# Without a network nothing can be fetched: say what is missing before anything runs.
if [[ -x "$ROOT/.venv/bin/python" ]]; then
    base="$ROOT/.venv/bin/python"
else
    base="$(LUMIVEX_ENV_FUNCTIONS_ONLY=1 bash -c 'source "$1/tools/env.sh" && lumivex_find_python' _ "$ROOT")" || exit 2
fi
missing="$("$base" -c '
import importlib.util, shutil, sys
needed = ["scikit_build_core", "numpy", "pytest", "PIL"] + ([] if sys.argv[1] == "1" else ["cupy"])
missing = [name for name in needed if importlib.util.find_spec(name) is None]
print(" ".join(missing + ([] if shutil.which("cmake") else ["cmake"])))
' "$DRY_RUN")"
if [[ -n "$missing" ]]; then
    say "gpu-check: missing, and not fetchable without a network: $missing"
    exit 2
fi
# The upscaling command needs these too, and some tests the test extra's tools; without them the main job fails
# and those tests skip, which the summary should not leave unexplained.
optional="$("$base" -c '
import importlib.util
wanted = ["onnxruntime", "png", "tqdm", "onnx", "mypy", "auditwheel", "cv2", "ray"]
print(" ".join(name for name in wanted if importlib.util.find_spec(name) is None))
')"
[[ -z "$optional" ]] || say "gpu-check: not installed here (the main job or some tests will miss them): $optional"
if ! run_step build 240 bash -c 'source "$1/tools/env.sh"' _ "$ROOT"; then
    say "build: FAILED (see $OUT/build.log): $(tail -n 1 "$OUT/build.log")"
    exit 2
fi
PY="$ROOT/.venv/bin/python"
say "build: ok in $SECONDS s"

# ---- versions and device ----
if ! "$PY" -P - >"$OUT/versions.log" 2>&1 <<'EOF'
import platform
import numpy
import lumivex.testing

cp = lumivex.testing.install_cupy_standin()
print(f"python {platform.python_version()}, numpy {numpy.__version__}", end="")
if lumivex.testing.using_standin():
    print(f", cupy: NumPy stand-in with the names of CuPy {cp.__version__}")
    print("gpu: none")
else:
    runtime = cp.cuda.runtime
    props = runtime.getDeviceProperties(0)
    print(f", cupy {cp.__version__}, CUDA runtime {runtime.runtimeGetVersion()}, driver {runtime.driverGetVersion()}")
    print(f"gpu: {props['name'].decode()}, {props['totalGlobalMem'] / 2**30:.0f} GiB, "
          f"{runtime.getDeviceCount()} device(s)")
EOF
then
    say "versions: FAILED: $(tail -n 1 "$OUT/versions.log")"
    exit 2
fi
tee -a "$SUMMARY" <"$OUT/versions.log"
if [[ "$DRY_RUN" != 1 ]] && grep -q '^gpu: none' "$OUT/versions.log"; then
    say "gpu-check: CuPy sees no CUDA device here (LUMIVEX_GPU_CHECK_DRY_RUN=1 rehearses on the stand-in)"
    exit 2
fi

# ---- the whole test suite ----
run_step tests 180 "$PY" -P -m pytest -q -p no:cacheprovider --junitxml="$OUT/tests.xml" "$ROOT/tests"
rc=$?
(( rc != 0 )) && failed=1
counts="$("$PY" - "$OUT/tests.xml" 2>/dev/null <<'EOF'
import sys
import xml.etree.ElementTree as ET

suite = ET.parse(sys.argv[1]).getroot()
suite = suite.find("testsuite") if suite.tag == "testsuites" else suite
n, failures, errors, skipped = (int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped"))
print(f"{n - failures - errors - skipped} passed, {failures} failed, {errors} errors, {skipped} skipped "
      f"in {float(suite.get('time', 0)):.1f} s")
EOF
)"
say "tests: ${counts:-no report} (exit $rc)"
grep -E '^(FAILED|ERROR) ' "$OUT/tests.log" | head -n 20 | sed 's/^/  /' | tee -a "$SUMMARY"

# ---- every benchmark once, quick mode ----
for bench in "$ROOT"/benchmarks/bench_*.py; do
    name="$(basename "$bench" .py)"
    LUMIVEX_BENCH_QUICK=1 run_step "$name" 90 "$PY" -P "$bench"
    rc=$?
    (( rc != 0 )) && failed=1
    say "$name: $( ((rc == 0)) && echo ok || echo "FAILED (exit $rc)")"
    sed 's/^/  /' "$OUT/$name.log" | tail -n 15 | tee -a "$SUMMARY"
done

# ---- whole frames through the road: the device's run path (cuDNN's search, fp16, TensorRT where installed) ----
# The dry run takes one small frame of each shape on the CPU: the same road, in a CPU's time.
frames=(--repeats 10)
[[ "$DRY_RUN" == 1 ]] && frames=(--repeats 1 --frame-sizes 320 180 480 270)
run_step frames 120 "$PY" -P "$ROOT/benchmarks/bench_road.py" --frames "${frames[@]}"
rc=$?
(( rc != 0 )) && failed=1
say "frames (720p -> 1440p, 1080p -> 2160p, x2): $( ((rc == 0)) && echo ok || echo "FAILED (exit $rc)")"
sed 's/^/  /' "$OUT/frames.log" | tail -n 4 | tee -a "$SUMMARY"

# ---- the main job on the bundled photo ----
run_step upscale 120 bash "$ROOT/tools/upscale.sh" "$ROOT/examples/data/coffee.jpg" "$OUT/coffee_x2.png"
rc=$?
(( rc != 0 )) && failed=1
say "main job (tools/upscale.sh): $( ((rc == 0)) && echo ok || echo "FAILED (exit $rc)"):" \
    "$(tail -n 1 "$OUT/upscale.log")"

say "total: $SECONDS s; $( ((failed == 0)) && echo 'all steps passed' || echo 'some steps FAILED') (logs in $OUT)"
exit $failed
