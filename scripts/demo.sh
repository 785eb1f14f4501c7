#!/usr/bin/env bash
# Sets everything up and runs the main job: the HPGe example fit, with its table and plot.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/fit_hpge.py "$@"
