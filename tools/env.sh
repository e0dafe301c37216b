# Sourced by the other tools: finds CPython 3.12, prepares the virtual environment
# .venv in the repository root and installs lumivex with its test extras into it
# (LUMIVEX_EXTRAS, comma-separated, chooses other extras; default "test"), skipping the build and install when
# nothing they depend on changed since the last one.
# Afterwards LUMIVEX_ROOT is the repository root and LUMIVEX_PY the venv's python. The test-only native modules
# are built with the package but not installed: they land in build/test-modules, where the tests load them from.
# LUMIVEX_SANITIZE=1 builds the modules with AddressSanitizer and UBSan instead; LUMIVEX_OFFLINE=1 installs
# without a package index (the dependencies must already be there).

LUMIVEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LUMIVEX_TEST_MODULE_DIR="$LUMIVEX_ROOT/build/test-modules"

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

# Prints a digest of everything the built package is made from: the contents of the files git tracks or would
# track (the folders no build reads left out, so editing tests costs no rebuild), the sanitizer flag and the
# interpreter. Prints nothing outside a git checkout, where changes cannot be told.
lumivex_source_stamp() {
    local base="$1" sanitize="$2"
    git -C "$LUMIVEX_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1 || return 0
    {
        echo "sanitize=$sanitize python=$base"
        "$base" -c 'import sys; print(sys.version)'
        # A tracked file deleted from the tree is listed but unreadable: its absence changes the digest.
        (cd "$LUMIVEX_ROOT" && git ls-files -z --cached --others --exclude-standard -- . \
            ':(exclude)tests' ':(exclude)benchmarks' ':(exclude)examples' ':(exclude).ci' \
            | sort -zu | xargs -0 -r sha256sum 2>/dev/null || true)
    } | sha256sum | cut -d' ' -f1
}

# The extras of the comma-separated list $1 that are not in the list $2, comma-separated.
lumivex_missing_extras() {
    local extra missing=() IFS=,
    for extra in $1; do
        [[ ",$2," == *",$extra,"* ]] || missing+=("$extra")
    done
    echo "${missing[*]}"
}

# LUMIVEX_OFFLINE=1 (a machine without a network): pip is to use no index and resolve no dependencies, taking
# whatever the system already has, rather than wait on an index that cannot answer. Fills the array named $1.
lumivex_offline_flags() {
    local -n flags="$1"
    flags=()
    [[ "${LUMIVEX_OFFLINE:-0}" == 1 ]] && flags=(--no-index --no-deps)
    return 0
}

# Builds the wheel into build/wheel (the fixed build folder keeps the compile incremental) and installs it with
# the extras $4, so that the suite runs against exactly what a user installs; the same build makes the test-only
# modules, outside the wheel.
lumivex_install() {
    local py="$1" sanitize="$2" strip="$3" extras="$4" wheels="$LUMIVEX_ROOT/build/wheel"
    # Where the build tools are already installed (a GPU machine without a network sees them through the
    # system site packages), build with them instead of fetching an isolated build environment.
    local isolation=()
    "$py" -c 'import scikit_build_core' >/dev/null 2>&1 && command -v cmake >/dev/null 2>&1 \
        && isolation=(--no-build-isolation)
    local offline=()
    lumivex_offline_flags offline
    rm -rf "$wheels" "$LUMIVEX_TEST_MODULE_DIR"
    # The sanitizer option is always passed: the build folder is reused and would keep the last value.
    (cd "$LUMIVEX_ROOT" && "$py" -m pip wheel -q --no-deps "${isolation[@]}" "${offline[@]:0:1}" -w "$wheels" \
        -C "cmake.define.LUMIVEX_SANITIZE=$sanitize" -C "install.strip=$strip" \
        -C "cmake.define.LUMIVEX_TEST_MODULES=ON" -C "cmake.define.LUMIVEX_TEST_MODULE_DIR=$LUMIVEX_TEST_MODULE_DIR" \
        .) || return 1
    local wheel=("$wheels"/lumivex-*.whl)
    # The version rarely changes between builds, so pip must be told to replace the installed package; the
    # extras go in by a second call, which leaves their packages alone when they are installed already.
    "$py" -m pip install -q --force-reinstall --no-deps "${wheel[0]}" && "$py" -m pip install -q "${offline[@]}" "${wheel[0]}[$extras]"
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

    # The stamp of the last successful install lives in the venv, so a new venv starts without one: the digest
    # of the sources on its first line, the extras installed since on its second.
    local extras="${LUMIVEX_EXTRAS:-test}" stamp_file="$venv/lumivex-install.stamp" digest missing
    local recorded_digest="" recorded_extras="" wheel=("$LUMIVEX_ROOT"/build/wheel/lumivex-*.whl)
    digest="$(lumivex_source_stamp "$base" "$sanitize")"
    if [[ -f "$stamp_file" ]]; then
        { read -r recorded_digest || true; read -r recorded_extras || true; } <"$stamp_file"
    fi
    if [[ -n "$digest" && "$digest" == "$recorded_digest" && -f "${wheel[0]}" ]] \
        && compgen -G "$venv/lib/python3.12/site-packages/lumivex/utils/shapery.*.so" >/dev/null \
        && compgen -G "$LUMIVEX_TEST_MODULE_DIR/_broken_bodies.*.so" >/dev/null; then
        missing="$(lumivex_missing_extras "$extras" "$recorded_extras")"
        if [[ -n "$missing" ]]; then
            echo "lumivex: installing the extras '$missing' into .venv" >&2
            local offline=()
            lumivex_offline_flags offline
            "$venv/bin/python" -m pip install -q "${offline[@]}" "${wheel[0]}[$missing]" || {
                echo "lumivex: installing the extras '$missing' into $venv failed" >&2
                return 1
            }
            printf '%s\n%s\n' "$digest" "$recorded_extras,$missing" >"$stamp_file"
        fi
    else
        if [[ -z "$digest" ]]; then
            echo "lumivex: no git checkout, so changes cannot be told: rebuilding and reinstalling" \
                "(about a minute the first time, 15 s later)" >&2
        elif [[ -z "$recorded_digest" ]]; then
            echo "lumivex: first set-up: building the native modules and installing them with the extras" \
                "'$extras' into .venv (about a minute; later runs skip this until the sources change)" >&2
        else
            echo "lumivex: the sources changed since the last install: rebuilding and reinstalling (about 15 s)" >&2
        fi
        rm -f "$stamp_file"
        lumivex_install "$venv/bin/python" "$sanitize" "$strip" "$extras" || {
            echo "lumivex: installing the package into $venv failed" >&2
            return 1
        }
        [[ -z "$digest" ]] || printf '%s\n%s\n' "$digest" "$extras" >"$stamp_file"
    fi
    lumivex_install_browser "$venv"
    LUMIVEX_PY="$venv/bin/python"
    if [[ "$sanitize" == ON ]]; then
        # The sanitizer runtime must be loaded before the interpreter starts; Python's
        # own allocations would drown real reports in leak noise.
        # The C++ runtime goes in right after it: the interpreter does not link it, and without it the
        # sanitizer's interception of C++ throws finds nothing to forward to, so a library that throws and
        # catches internally (OpenCV does) would abort the run.
        LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)${LD_PRELOAD:+ $LD_PRELOAD}"
        export LD_PRELOAD
        # A test asks for more memory than there is, to see the out-of-memory error: the allocation must fail
        # as it does without the sanitizer rather than abort the run.
        export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1}"
        # Every Python object straight from malloc, so that the sanitizer sees overruns and uses after free
        # inside objects that pymalloc's arenas would otherwise hide.
        export PYTHONMALLOC=malloc
        export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
    fi
}

# The compare page is tested in a real browser: Debian's chromium and its chromedriver. Installed here when they
# are missing and this is root with apt-get, quietly and once: a failed try leaves a mark in the venv, and the
# browser test then skips, saying why.
lumivex_install_browser() {
    local venv="$1" mark="$1/lumivex-browser.failed" log
    command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1 && return 0
    [[ "$(id -u)" == 0 && "${LUMIVEX_OFFLINE:-0}" != 1 && ! -e "$mark" ]] || return 0
    command -v apt-get >/dev/null 2>&1 || return 0
    echo "lumivex: installing Debian's chromium and chromium-driver for the browser test (once)" >&2
    log="$(mktemp)"
    # The package lists may be missing or old: refreshed only when the first try fails.
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium chromium-driver >"$log" 2>&1 \
        && ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium \
               chromium-driver; } >>"$log" 2>&1; then
        echo "lumivex: installing chromium failed (the browser test will be skipped); apt-get said:" >&2
        tail -n 3 "$log" >&2
        touch "$mark"
    fi
    rm -f "$log"
    return 0
}

# LUMIVEX_ENV_FUNCTIONS_ONLY=1 only defines the functions (tools/gpu-check.sh looks for Python with them).
[[ "${LUMIVEX_ENV_FUNCTIONS_ONLY:-0}" == 1 ]] || lumivex_setup
