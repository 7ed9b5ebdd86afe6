#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the C++ tests
# (release, then AddressSanitizer + UndefinedBehaviorSanitizer) and the
# Python tests, against the installed module and against a sanitized build.
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
  if [ "$variant" = release ]; then
    echo "== C++ tests, release build =="
  else
    echo "== C++ tests, AddressSanitizer + UndefinedBehaviorSanitizer build =="
  fi
  ctest --test-dir "build/$variant" -j "$jobs" --output-on-failure
done

# The Python tests against the installed module.
echo "== Python tests, installed module =="
(cd tests/python && "../../$py" -m pytest -p faulthandler -q)

# Again against a module built with the sanitizers, loaded into the plain
# interpreter with the sanitizer runtimes preloaded. Unoptimised to keep the
# build short; NDEBUG because the module links no CppAD debug library.
cmake -S . -B build/asan-python -G Ninja -DLFE_BUILD_PYTHON=ON -DLFE_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O0 -DNDEBUG" \
  -DPython3_EXECUTABLE="$PWD/$py" >/dev/null
cmake --build build/asan-python -j "$jobs"
package=build/asan-python/package/load_flow_engine
rm -rf "$package" && mkdir -p "$package"
cp load_flow_engine/*.py build/asan-python/load_flow_engine/cy_engine*.so "$package"
echo "== Python tests, module built with the sanitizers =="
(cd tests/python &&
  LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$PWD/../../build/asan-python/package" \
  "../../$py" -m pytest -p faulthandler -q)
