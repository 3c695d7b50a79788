#!/usr/bin/env bash
# Creates .venv, installs ortholink into it and runs the quick-start example.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python="${PYTHON:-python3}"
[ -x .venv/bin/python ] || "$python" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q .
.venv/bin/python examples/quickstart.py
