#!/usr/bin/env bash
# The main job: sets everything up (scripts/setup.sh), then runs an eye-in-hand
# calibration of a simulated robot camera and writes hand_eye.json into
# velk-demo-output/ (or the folder given as first argument).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/velk demo --output "${1:-velk-demo-output}"
