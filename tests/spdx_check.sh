#!/bin/sh
# SPDX-License-Identifier: MIT
# Lists every source file of the tree without its licence line among its
# first three lines: C and C++, CMake, shell, Python, the kernel fragments,
# and every script that starts with #!. Fails when there is one.
# usage: spdx_check.sh SOURCE_DIR
cd "$1" || exit 2
missing=0
for f in $(find . -path ./build -prune -o -path ./.git -prune -o -path ./tests/fuzz/seeds -prune -o -type f -print); do
    case $f in
    *.cpp | *.hpp | *.c | *.h | *.cmake | */CMakeLists.txt | *.py | *.sh | *.config) ;;
    *) head -c 2 "$f" | grep -q '^#!' || continue ;;
    esac
    head -n 3 "$f" | grep -q 'SPDX-License-Identifier: MIT' && continue
    echo "no SPDX-License-Identifier line: ${f#./}"
    missing=1
done
[ $missing -eq 0 ] && echo "spdx: every source file names its licence"
exit $missing
