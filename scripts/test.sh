#!/usr/bin/env bash
# Runs every test of the project: the C++ suites (plain and under ASan/UBSan),
# the Python suite against NumPy 2.x and NumPy 1.26 (README code blocks included),
# the stub check, the lint and type check of the Python sources and examples, the
# C++ layout check (clang-format) and a short fuzzing run of the mesh stream reader.
#
#   scripts/test.sh                  everything
#   scripts/test.sh --quick          the edit-test loop: one C++ build with the extension,
#                                    its C++ tests and the Python suite against that build
#   FUZZ_SECONDS=0 scripts/test.sh   skip the fuzzing run
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python="${PYTHON:-python3}"
jobs="${JOBS:-2}"
fuzz_seconds="${FUZZ_SECONDS:-60}"
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

step() { printf '\n==> %s\n' "$*"; }

step "System packages"
"$root/scripts/system-deps.sh"

step "Every C++ source is named in a CMake list"
unlisted=0
for source in $(cd "$root" && find ortholink/src ortholink/tests vantle/src vantle/tests py-ortholink/src \
                  py-ortholink/tests -name '*.cpp'); do
  directory="${source%%/*}"
  if ! grep -rqF --include=CMakeLists.txt --include='*.cmake' "${source#"$directory"/}" "$root/$directory"; then
    echo "not in any CMake source list: $source" >&2
    unlisted=1
  fi
done
[ "$unlisted" = 0 ]

step "C++ layout matches .clang-format"
# clang-format's output differs between major versions; the layout is checked with Debian's 14.
if clang-format --version | grep -q "version 14\."; then
  git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format --dry-run --Werror
else
  echo "skipped: $(clang-format --version) is not version 14"
fi

if [ "$quick" = 1 ]; then
  step "Quick: C++ build with the extension, C++ tests, Python suite"
  [ -x .venv/bin/python ] || "$python" -m venv .venv
  .venv/bin/python -c "import numpy, pytest, coal" 2>/dev/null || .venv/bin/python -m pip install -q numpy pytest trimesh coal
  cmake -S . -B build/quick -G Ninja -DORTHOLINK_TESTS=ON -DORTHOLINK_WERROR=ON -DORTHOLINK_PYTHON=ON \
        -DPython_EXECUTABLE="$root/.venv/bin/python"
  cmake --build build/quick -j "$jobs"
  ctest --test-dir build/quick --output-on-failure -j "$jobs"
  (cd "$root/py-ortholink/tests" &&
     PYTHONPATH="$root/build/quick/py-ortholink:$root/py-ortholink/python" "$root/.venv/bin/python" -m pytest -q \
       -p no:cacheprovider .)
  step "Quick tests passed"
  exit 0
fi

step "C++ tests"
cmake -S . -B build/ci -G Ninja -DORTHOLINK_TESTS=ON -DORTHOLINK_WERROR=ON -DORTHOLINK_BENCH=ON
cmake --build build/ci -j "$jobs"
ctest --test-dir build/ci --output-on-failure -j "$jobs"

step "Installed C++ libraries used through find_package(ortholink)"
rm -rf build/prefix build/consumer
cmake --install build/ci --prefix build/prefix
cmake -S tests/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH="$root/build/prefix"
cmake --build build/consumer
build/consumer/consumer

step "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DORTHOLINK_TESTS=ON -DORTHOLINK_WERROR=ON -DORTHOLINK_SANITIZE=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/asan -j "$jobs"
ORTHOLINK_PROPERTY_COUNT="${ORTHOLINK_PROPERTY_COUNT_ASAN:-200}" \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "Wheel"
rm -rf dist
"$python" -m pip wheel . --no-deps -w dist
wheel="$(ls dist/ortholink-*.whl)"
case "$wheel" in
  *-cp311-abi3-*) echo "built $wheel" ;;
  *) echo "the wheel is not tagged cp311-abi3: $wheel" >&2; exit 1 ;;
esac

run_python_suite() {
  local venv="$1" numpy_spec="$2"
  shift 2
  step "Python tests with $numpy_spec in $venv"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$numpy_spec" pytest mypy trimesh "$@"
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -c "import numpy, ortholink; print('numpy', numpy.__version__, 'ortholink', ortholink.__file__)"
  (cd "$root/py-ortholink/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
}

step "Browser for the viewer test"
if ! command -v chromium >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq chromium
fi
chromium --version

# The URDF export is read back by yourdfpy; the viewer (viser) is driven in headless
# Chromium over the DevTools protocol (websocket-client); the collision checks are held
# against coal's mesh checks, the trajectories against toppra. The NumPy 1.26 run skips all four.
run_python_suite "$root/.venv" "numpy>=2" yourdfpy viser websocket-client coal toppra

step "Stubs against the installed module"
(cd "$root/py-ortholink" && "$root/.venv/bin/python" -m mypy.stubtest ortholink --allowlist stubs/stubtest-allowlist.txt)

step "Lint of the Python sources"
.venv/bin/python -m pip install -q ruff
(cd "$root" && .venv/bin/python -m ruff check .)

step "Examples and their type check"
.venv/bin/python -m pip install -q matplotlib "dask[distributed]"
examples_out="$(mktemp -d)"
(cd "$examples_out" && "$root/.venv/bin/python" "$root/examples/quickstart.py" >/dev/null)
(cd "$examples_out" && "$root/.venv/bin/python" "$root/examples/follow_path.py" "$examples_out/path.png")
for example in "$root"/examples/*.py; do
  case "$example" in
    */quickstart.py|*/follow_path.py) ;;
    *) (cd "$examples_out" && "$root/.venv/bin/python" "$example" >/dev/null) ;;
  esac
done
rm -rf "$examples_out"
(cd "$root" && .venv/bin/python -m mypy examples)
run_python_suite "$root/.venv-numpy1" "numpy==1.26.*"

if [ "$fuzz_seconds" != "0" ] && [ -x "$root/vantle/fuzz/run.sh" ]; then
  step "Fuzzing the mesh stream reader for ${fuzz_seconds}s"
  "$root/vantle/fuzz/run.sh" "$fuzz_seconds"
fi

step "All tests passed"
