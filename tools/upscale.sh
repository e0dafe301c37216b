#!/usr/bin/env bash
# Builds and installs lumivex into .venv, then runs lumivex-upscale with the given arguments (paths are taken
# relative to the caller's folder). Without an input it upscales the bundled sample photo with the shipped
# x2 network into coffee_x2.jpg here.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
unset PYTHONPATH
if [[ $# -eq 0 || "$1" == -* ]]; then
    set -- "$LUMIVEX_ROOT/examples/data/coffee.jpg" "$@"
fi
exec "$LUMIVEX_ROOT/.venv/bin/lumivex-upscale" "$@"
