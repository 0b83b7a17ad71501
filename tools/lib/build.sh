# Configures and builds one build tree. Sourced, not run:
#
#   build_tree BUILD_DIR [CMAKE_OPTION...] [--target TARGET...]
#
# Configures BUILD_DIR from this checkout with the given options, then
# builds everything or only the targets named after --target, with
# $build_jobs jobs (the machine's cores, at most two unless set before).

if [ -z "${build_jobs:-}" ]; then
    build_jobs=$(nproc)
    [ "$build_jobs" -gt 2 ] && build_jobs=2
fi

build_tree()
{
    local dir=$1 options=() targets=()
    shift
    while [ "$#" -gt 0 ] && [ "$1" != "--target" ]; do
        options+=("$1")
        shift
    done
    if [ "${1:-}" = "--target" ]; then
        shift
        targets=(--target "$@")
    fi
    cmake -S . -B "$dir" "${options[@]}" >/dev/null &&
        cmake --build "$dir" -j "$build_jobs" "${targets[@]}"
}
