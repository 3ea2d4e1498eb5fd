#!/usr/bin/env bash
# Checks the layering of the program's code (README, "Reading the code"):
#
#   platform < store < engine/wire < engine/hop < engine/server < engine/chain
#            < check, anonymize (side by side) < ui/logic < ui/windows < app
#
# A file may include from its own folder and from the folders below it, never
# from a higher one nor from a folder beside it; program code never includes
# from tests/, bench/, fuzz/ or tools/. engine/wire includes no Qt header, and
# no library below ui/windows links QtWidgets.
#
# Prints one line per fault and exits 1 when there is any, 0 otherwise.
# `scripts/check-layers.sh DIR` checks the tree at DIR instead of this one;
# `scripts/check-layers.sh --self-test` shows that the check sees faults: it
# plants an upward include, a sideways one and a QtWidgets link in a copy of
# the tree and expects each of them reported.
set -euo pipefail
self=$(realpath "$0")

if [ "${1:-}" = --self-test ]; then
    copy=$(mktemp -d)
    trap 'rm -rf "$copy"' EXIT
    cd "$(dirname "$self")/.."
    cp -r platform store engine check anonymize ui app "$copy"
    echo '#include "ui/windows/frmMain.h"' >>"$copy/store/ProxData.cpp"
    echo '#include "check/BulkIntake.h"' >>"$copy/anonymize/AnonymHandOff.cpp"
    echo 'target_link_libraries(velmora_check PUBLIC Qt6::Widgets)' >>"$copy/check/CMakeLists.txt"
    if out=$("$self" "$copy"); then
        echo "check-layers self-test: the planted faults were not seen"
        exit 1
    fi
    for want in 'store/ProxData.cpp:.*"ui/windows/frmMain.h" from a higher layer' \
        'anonymize/AnonymHandOff.cpp:.*"check/BulkIntake.h" from beside it' \
        'check/CMakeLists.txt:.*links QtWidgets'; do
        if ! grep -q "$want" <<<"$out"; then
            echo "check-layers self-test: not reported: $want"
            echo "$out"
            exit 1
        fi
    done
    echo "check-layers self-test: the planted upward include, sideways include and QtWidgets link were each reported"
    exit 0
fi

cd "${1:-"$(dirname "$self")/.."}"

faults=0
fault() {
    echo "$1"
    faults=$((faults + 1))
}

program_dirs=(platform store engine check anonymize ui app)

# Every quoted include of the program's code, as "file:line:target"; awk
# gives each path the rank of its layer (folders that share a rank are side
# by side) and prints the includes that do not point down.
while IFS= read -r hit; do
    fault "$hit"
done < <(find "${program_dirs[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z |
    xargs -0 grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' |
    sed -E 's/^([^:]+):([0-9]+):[^"]*"([^"]+)".*/\1:\2:\3/' |
    awk -F: '
        function folder(p,  parts) {
            split(p, parts, "/")
            return (parts[1] == "engine" || parts[1] == "ui") ? parts[1] "/" parts[2] : parts[1]
        }
        function rank(f) {
            if (f == "platform") return 0
            if (f == "store") return 1
            if (f == "engine/wire") return 2
            if (f == "engine/hop") return 3
            if (f == "engine/server") return 4
            if (f == "engine/chain") return 5
            if (f == "check" || f == "anonymize") return 6
            if (f == "ui/logic") return 7
            if (f == "ui/windows") return 8
            if (f == "app") return 9
            if (f == "tests" || f == "bench" || f == "fuzz" || f == "tools") return 99
            return -1
        }
        {
            from = folder($1); to = folder($3)
            if (from == to || rank(to) < 0 || rank(from) < 0) next
            if (rank(to) > rank(from))
                printf "%s:%s: includes \"%s\" from a higher layer (%s above %s)\n", $1, $2, $3, to, from
            else if (rank(to) == rank(from))
                printf "%s:%s: includes \"%s\" from beside it (%s beside %s)\n", $1, $2, $3, to, from
        }')

# engine/wire is plain C++: no Qt header.
while IFS= read -r hit; do
    fault "$hit: engine/wire includes a Qt header"
done < <(grep -rn --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' engine/wire || true)

# Only ui/windows and app/ link QtWidgets, or a library that does.
while IFS= read -r cmake; do
    case $cmake in
    ui/windows/* | app/*) continue ;;
    esac
    while IFS=: read -r line text; do
        fault "$cmake:$line: a core library links QtWidgets: $text"
    done < <(grep -nE 'Qt6::Widgets|Qt::Widgets|velmora_ui([^_]|$)|velmora_app' "$cmake" || true)
done < <(find "${program_dirs[@]}" -name CMakeLists.txt | sort)
# engine/wire links no Qt at all.
if grep -nE 'Qt6::|velmora_platform' engine/wire/CMakeLists.txt >/dev/null; then
    fault "engine/wire/CMakeLists.txt: engine/wire links Qt (directly or through velmora_platform)"
fi

if [ "$faults" -gt 0 ]; then
    echo "check-layers: $faults fault(s)"
    exit 1
fi
echo "check-layers: every include points down, no core library links QtWidgets"
