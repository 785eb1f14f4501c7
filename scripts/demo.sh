#!/usr/bin/env bash
# Sets everything up and runs the main job: the HPGe spectrum fitted with brivane.fit, its report
# printed and its plot written (hpge_fit.png, or the file given with --plot).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/model_hpge.py "$@"
