# Builds the plug-in as it was at a git ref, beside the working tree. Sourced,
# not run:
#
#   ref_library REF     builds REF's library and prints its path
#
# REF is exported with git archive into build-bench/ref-<commit>/ and built
# there; nothing is committed or checked out. Works for refs from before the
# test suites became optional (they are switched off either way).

ref_library()
{
    local commit refdir
    commit="$(git rev-parse --verify "$1^{commit}")" || return 1
    refdir="build-bench/ref-${commit:0:12}"
    if [ ! -f "$refdir/src/CMakeLists.txt" ]; then
        rm -rf "$refdir/src"
        mkdir -p "$refdir/src"
        git archive --format=tar "$commit" | tar -x -C "$refdir/src"
    fi
    echo "building $1 (${commit:0:12}) in $refdir" >&2
    cmake -S "$refdir/src" -B "$refdir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DOSTREVAN_TESTS=OFF -DBUILD_TESTING=OFF -DOSTREVAN_BENCH=OFF >/dev/null 2>&1 &&
        cmake --build "$refdir/build" -j 2 --target ostrevan_plugin >/dev/null &&
        echo "$refdir/build/lv2/ostrevan-tarvolene.lv2/libostrevan-tarvolene.so"
}
