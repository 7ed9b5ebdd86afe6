#!/usr/bin/env bash
# Creates .venv with the build dependencies and installs the package into it.
set -euo pipefail
cd "$(dirname "$0")/.."
# The project is built and tested on Python 3.11 only: python3.11 when it is
# on the PATH, else python3; an existing .venv keeps its own interpreter.
if [ -x .venv/bin/python ]; then
  python=.venv/bin/python
else
  python=$(command -v python3.11 || command -v python3) ||
    { echo "Neither python3.11 nor python3 is on the PATH" >&2; exit 1; }
fi
version=$("$python" --version 2>&1)
echo "Using $python ($version)"
case "$version" in
  "Python 3.11."*) ;;
  *) echo "Warning: $python is $version; the project is built and tested on Python 3.11 only" >&2 ;;
esac
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
.venv/bin/pip install --quiet --upgrade pip
.venv/bin/pip install --quiet -r requirements-dev.txt
if [ -f pyproject.toml ]; then
  .venv/bin/pip install --quiet --no-build-isolation .
fi
