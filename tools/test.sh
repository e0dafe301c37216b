#!/usr/bin/env bash
# Builds and installs lumivex into .venv (only when its sources changed since the last install), then runs the
# test suite against the installed package. Extra arguments go to pytest; the exit status is pytest's.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$LUMIVEX_ROOT"
# -P and an empty PYTHONPATH keep the source tree (which has no built modules) off
# sys.path, so the tests import the installed package.
unset PYTHONPATH
args=()
# A sanitizer aborts the process; fd-level capture would swallow its report.
[[ "${LUMIVEX_SANITIZE:-0}" == 1 ]] && args+=(--capture=sys)
exec "$LUMIVEX_PY" -P -m pytest "${args[@]}" "$@"
