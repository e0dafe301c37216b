#!/usr/bin/env bash
# Builds and installs lumivex into .venv, then runs the upscaling example with the
# given arguments (paths are taken relative to the caller's folder).
set -euo pipefail
LUMIVEX_EXTRAS=test,examples  # Pillow reads and writes the image files
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
unset PYTHONPATH
exec "$LUMIVEX_PY" "$LUMIVEX_ROOT/examples/upscale_image.py" "$@"
