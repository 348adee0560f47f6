#!/usr/bin/env bash
# Formats the C++ sources of src, tests, tools, fuzz and bench with the project's .clang-format.
#   scripts/format.sh           rewrite the files that are not formatted
#   scripts/format.sh --check   change nothing; list what is not formatted and fail (CI)
# A file or part of one that must keep a hand-made layout (a table) says so with
# "// clang-format off" / "// clang-format on".
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- src tests tools fuzz bench | grep -E '\.(cpp|h)$')
if [[ "${1:-}" == --check ]]; then
    clang-format --dry-run -Werror "${files[@]}"
else
    clang-format -i "${files[@]}"
fi
