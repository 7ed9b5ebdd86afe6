#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the C++ tests
# (release, then AddressSanitizer + UndefinedBehaviorSanitizer) and the
# Python tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi
bash scripts/setup.sh
py=.venv/bin/python
export PATH="$PWD/.venv/bin:$PATH"

for variant in release asan; do
  flags=(-DCMAKE_BUILD_TYPE=Release)
  [ "$variant" = asan ] && flags=(-DCMAKE_BUILD_TYPE=Debug -DLFE_SANITIZE=ON)
  cmake -S . -B "build/$variant" -G Ninja -DLFE_BUILD_TESTS=ON -DLFE_BUILD_PYTHON=OFF \
    -DPython3_EXECUTABLE="$PWD/$py" "${flags[@]}" >/dev/null
  cmake --build "build/$variant" -j "$jobs"
  ctest --test-dir "build/$variant" -j "$jobs" --output-on-failure
done

if [ -d tests/python ] && ls tests/python/test_*.py >/dev/null 2>&1; then
  (cd tests/python && "../../$py" -m pytest -p faulthandler -q)
fi
