#!/usr/bin/env bash
# Two checks over the tracked sources: every C and C++ file is laid out as .clang-format says
# (includes sorted), and everything under tests/ (cases, harness, fixtures, build files) stays
# within its budget of the product's code under src/ and tools/, counted in non-blank lines.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

TESTS_BUDGET_PERCENT=40

# A clean copy of the sources may come without git: the files are found by name.
find src tools tests bench -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 clang-format --dry-run --Werror
echo "Layout: every file of src/, tools/, tests/ and bench/ is as .clang-format says."

non_blank_lines() {
  find "$@" -type f | grep -E '\.(c|cc|cpp|cxx|h|hpp|py|sh|cmake|wxs|rc)$|CMakeLists\.txt$' | xargs -r cat |
    grep -c -v -E '^\s*$'
}
code=$(non_blank_lines src tools)
tests=$(non_blank_lines tests)
percent=$(( 100 * tests / code ))
echo "Tests: ${tests} non-blank lines under tests/ against ${code} of src/ and tools/ (${percent}%; budget ${TESTS_BUDGET_PERCENT}%)."
if (( 100 * tests > TESTS_BUDGET_PERCENT * code )); then
  echo "tests/ is over its budget" >&2
  exit 1
fi
