#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that every C and C++ file of the tree is as clang-format makes it with
# the project's .clang-format; with --fix, formats them in place instead.
# One clang-format version for everybody (install-deps.sh installs it): another
# version may format the same file differently.
#   scripts/check-format.sh          exit 1 and the differences when a file is not
#   scripts/check-format.sh --fix    rewrite the files that are not
# Tables whose alignment carries meaning are fenced in the sources with
# "// clang-format off" and "// clang-format on".
set -euo pipefail
cd "$(dirname "$0")/.."

FORMAT=clang-format-14
if ! command -v "$FORMAT" >/dev/null 2>&1; then
    echo "check-format: $FORMAT is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.c' '*.cc' '*.hpp')
else
    mapfile -t files < <(find . -path ./build -prune -o -type f \
        \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.cc' -o -name '*.hpp' \) -print)
fi

if [ "${1:-}" = "--fix" ]; then
    "$FORMAT" -i "${files[@]}"
    exit 0
fi
if ! "$FORMAT" --dry-run -Werror "${files[@]}"; then
    echo "check-format: files above are not formatted; scripts/check-format.sh --fix formats them" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted"
