#!/usr/bin/env bash
# Creates .venv with the build dependencies and installs the package into it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/pip install --quiet --upgrade pip
.venv/bin/pip install --quiet -r requirements-dev.txt
if [ -f pyproject.toml ]; then
  .venv/bin/pip install --quiet --no-build-isolation .
fi
