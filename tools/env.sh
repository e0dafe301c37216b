# Sourced by the other tools: finds CPython 3.12, prepares the virtual environment
# .venv in the repository root and installs lumivex with its test extras into it
# (LUMIVEX_EXTRAS, comma-separated, chooses other extras; default "test").
# Afterwards LUMIVEX_ROOT is the repository root and LUMIVEX_PY the venv's python.
# LUMIVEX_SANITIZE=1 builds the modules with AddressSanitizer and UBSan instead.

LUMIVEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

lumivex_is_312() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1
}

lumivex_find_python() {
    local candidate
    if command -v pyenv >/dev/null 2>&1; then
        # Newest 3.12 patch release that pyenv has installed.
        for candidate in $(ls -d "$(pyenv root)"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -rV); do
            if lumivex_is_312 "$candidate"; then
                echo "$candidate"
                return 0
            fi
        done
    fi
    candidate="$(command -v python3.12 2>/dev/null || true)"
    if [[ -n "$candidate" ]] && lumivex_is_312 "$candidate"; then
        echo "$candidate"
        return 0
    fi
    echo "lumivex: CPython 3.12 not found (looked in pyenv versions and for python3.12 on PATH)" >&2
    return 1
}

lumivex_setup() {
    local base venv="$LUMIVEX_ROOT/.venv" sanitize=OFF strip=true
    base="$(lumivex_find_python)" || return 1
    # Reuse the venv only when it still runs 3.12 and sees the system packages
    # (a GPU machine's preinstalled CuPy lives there).
    if [[ -x "$venv/bin/python" ]] && lumivex_is_312 "$venv/bin/python" \
        && grep -qs '^include-system-site-packages = true' "$venv/pyvenv.cfg"; then
        :
    else
        "$base" -m venv --clear --system-site-packages "$venv" || return 1
    fi
    if [[ "${LUMIVEX_SANITIZE:-0}" == 1 ]]; then
        sanitize=ON
        strip=false  # keep symbols for the sanitizer's stack traces
    fi
    # The option is always passed: the build folder is reused and would keep the last value.
    # Where the build tools are already installed (a GPU machine without a network sees them through the
    # system site packages), build with them instead of fetching an isolated build environment.
    local isolation=()
    "$venv/bin/python" -c 'import scikit_build_core' >/dev/null 2>&1 && command -v cmake >/dev/null 2>&1 \
        && isolation=(--no-build-isolation)
    (cd "$LUMIVEX_ROOT" && "$venv/bin/python" -m pip install -q "${isolation[@]}" \
        -C "cmake.define.LUMIVEX_SANITIZE=$sanitize" -C "install.strip=$strip" ".[${LUMIVEX_EXTRAS:-test}]") || {
        echo "lumivex: installing the package into $venv failed" >&2
        return 1
    }
    LUMIVEX_PY="$venv/bin/python"
    if [[ "$sanitize" == ON ]]; then
        # The sanitizer runtime must be loaded before the interpreter starts; Python's
        # own allocations would drown real reports in leak noise.
        LD_PRELOAD="$(g++ -print-file-name=libasan.so)${LD_PRELOAD:+ $LD_PRELOAD}"
        export LD_PRELOAD
        export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
        # Every Python object straight from malloc, so that the sanitizer sees overruns and uses after free
        # inside objects that pymalloc's arenas would otherwise hide.
        export PYTHONMALLOC=malloc
        export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
    fi
}

lumivex_setup
