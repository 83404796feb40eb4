#!/usr/bin/env bash
# The module must export get_module and nothing else of its own: every other
# symbol stays inside it, so it can neither clash with the host's symbols
# nor with another extension's.
set -euo pipefail
module="$1"
[ "$(basename "$module")" = "orvo_php_agent.so" ] || { echo "unexpected file name: $module"; exit 1; }
exported=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TDBRVWui]$/ {print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | sort)
if [ "$exported" != "get_module" ]; then
  echo "exported symbols other than get_module:"
  echo "$exported" | head -20
  exit 1
fi
echo "exports: $exported"
