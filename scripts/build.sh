#!/usr/bin/env bash
# The main job on a fresh machine: installs what is missing, builds
# everything, and says what was built and how to run it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
echo
echo "Built in $(pwd)/build:"
for f in build/orvo_php_agent.so build/standin-php build/orvo-collector; do
  [ -e "$f" ] && echo "  $f"
done
for f in build/bench/bench_*; do
  [ -x "$f" ] && echo "  $f"
done
cat <<'TXT'

Run the tests:       ctest --test-dir build -j2 --output-on-failure
Run a benchmark:     build/bench/bench_<name>
Run the collector:   build/orvo-collector --port 5005 --summary
Load the probe:      build/standin-php -c php.ini scenario.json   (php.ini: extension=build/orvo_php_agent.so)
TXT
