#!/usr/bin/env bash
# Checks the sizes of the program's code (README, "Reading the code"): no
# source file of the program longer than 600 lines, no function longer than
# 80 lines (from the line its definition starts on to its closing brace).
# Functions are found by universal-ctags, which matches the braces of every
# definition in .cpp and .h files, member functions, constructors and
# functions in anonymous namespaces alike.
#
# Prints one line per fault, naming the place, and exits 1 when there is any,
# 0 otherwise. `scripts/check-sizes.sh DIR` checks the tree at DIR instead of
# this one; `scripts/check-sizes.sh --self-test` plants a file of 601 lines and
# a function of 81 lines in a copy of the tree and expects both reported.
set -euo pipefail
self=$(realpath "$0")
max_file_lines=600
max_function_lines=80
program_dirs=(platform store engine check anonymize ui app desktop tools)

if [ "${1:-}" = --self-test ]; then
    copy=$(mktemp -d)
    trap 'rm -rf "$copy"' EXIT
    cd "$(dirname "$self")/.."
    cp -r "${program_dirs[@]}" "$copy"
    # A function of exactly 80 lines passes, one of 81 does not; the same
    # for a file of 600 and one of 601 lines.
    body() { for ((i = 0; i < $1; i++)); do echo "    ++n;"; done; }
    {
        echo 'int Fits(int n) {'
        body 78
        echo '}'
        echo 'int TooLong(int n) {'
        body 79
        echo '}'
    } >"$copy/store/Planted.cpp"
    { for ((i = 0; i < 600; i++)); do echo "// line"; done; } >"$copy/engine/FitsFile.h"
    { for ((i = 0; i < 601; i++)); do echo "// line"; done; } >"$copy/app/TooLongFile.h"
    if out=$("$self" "$copy"); then
        echo "check-sizes self-test: the planted faults were not seen"
        exit 1
    fi
    for want in 'store/Planted.cpp:81: function TooLong has 81 lines' \
        'app/TooLongFile.h: 601 lines'; do
        if ! grep -q "$want" <<<"$out"; then
            echo "check-sizes self-test: not reported: $want"
            echo "$out"
            exit 1
        fi
    done
    for unwanted in 'Fits ' 'FitsFile'; do
        if grep -q "$unwanted" <<<"$out"; then
            echo "check-sizes self-test: reported although within the limit: $unwanted"
            echo "$out"
            exit 1
        fi
    done
    echo "check-sizes self-test: the planted 601-line file and 81-line function were each reported, and the ones just at the limit were not"
    exit 0
fi

cd "${1:-"$(dirname "$self")/.."}"
command -v ctags >/dev/null || {
    echo "check-sizes: ctags (Debian package universal-ctags) is needed"
    exit 2
}

faults=0
while IFS= read -r hit; do
    echo "$hit"
    faults=$((faults + 1))
done < <(
    find "${program_dirs[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z |
        xargs -0 wc -l | awk -v max="$max_file_lines" '$2 != "total" && $1 > max {
            printf "%s: %d lines, more than %d in one file\n", $2, $1, max }'
    # One tag a line: name, file, pattern, then fields such as line:70,
    # class:TLocalSOCKSServer and end:162 (the pattern is the source line and
    # may hold anything, so the fields are taken from the end of the line).
    ctags -R --languages=C++ --langmap=C++:+.h --kinds-C++=f --fields=+ne -f - "${program_dirs[@]}" |
        awk -F'\t' -v max="$max_function_lines" '{
            start = 0; end = 0; scope = ""
            for (i = NF; i > 3; i--) {
                if ($i ~ /^line:/) start = substr($i, 6)
                else if ($i ~ /^end:/) end = substr($i, 5)
                else if ($i ~ /^(class|struct):/) { scope = $i; sub(/^[a-z]+:/, "", scope); scope = scope "::" }
                else if ($i ~ /;"$/) break
            }
            lines = end - start + 1
            if (end > 0 && lines > max)
                printf "%s:%d: function %s%s has %d lines, more than %d\n", $2, start, scope, $1, lines, max
        }' | sort
)

if [ "$faults" -gt 0 ]; then
    echo "check-sizes: $faults fault(s)"
    exit 1
fi
echo "check-sizes: every file within $max_file_lines lines, every function within $max_function_lines"
