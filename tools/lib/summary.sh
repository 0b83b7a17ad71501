# The test scripts' stages and their one summary line, counted from what ran.
# Sourced, not run:
#
#   source tools/lib/summary.sh
#   summary_begin
#   run_stage NAME COMMAND [ARGS...]             one test: its exit status
#   run_ctest_stage NAME BUILD_DIR [CTEST_ARGS...] every test that ctest ran
#   run_stage_script NAME SCRIPT [ARGS...]       a script of such stages
#   summary_end                                  the table and the summary line
#
# A stage passes when its command exits 0, did not run when it exits 77 (what
# the project's scripts say when a tool they need is missing), and failed
# otherwise. A ctest stage counts each test from the JUnit file that ctest
# writes: status "run" passed, "fail" failed, "notrun" and "disabled" did not
# run. A stage goes on to the next whatever happened; summary_end returns
# non-zero when anything failed or did not run.
#
# Each outcome is one line in the tally file named by OSTREVAN_TALLY. A script
# that runs with a tally already begun by its caller (tools/test running
# tools/test-sanitizers) adds its stages to the caller's tally, and only the
# script that began it prints the summary.

summary_begin()
{
    if [ -n "${OSTREVAN_TALLY:-}" ] && [ -f "$OSTREVAN_TALLY" ]; then
        summary_owner=0
    else
        summary_owner=1
        summary_dir="$(mktemp -d "${TMPDIR:-/tmp}/ostrevan-summary.XXXXXX")"
        export OSTREVAN_TALLY="$summary_dir/tally"
        : >"$OSTREVAN_TALLY"
    fi
    summary_first=$(($(wc -l <"$OSTREVAN_TALLY") + 1))
}

# Sums the tally from line FIRST on: "PASSED FAILED NOT_RUN".
summary_sum()
{
    awk -F '\t' -v first="$1" 'NR >= first { p += $2; f += $3; n += $4 }
        END { printf "%d %d %d\n", p, f, n }' "$OSTREVAN_TALLY"
}

# Records one stage: NAME PASSED FAILED NOT_RUN NOTE.
summary_record()
{
    printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$5" >>"$OSTREVAN_TALLY"
    printf '== stage %s: %s passed, %s failed, %s not run%s\n' "$1" "$2" "$3" "$4" \
        "${5:+ ($5)}"
}

run_stage()
{
    local name=$1 start=$SECONDS status=0
    shift
    echo "== stage $name: $*"
    "$@" || status=$?
    local took="$((SECONDS - start))s"
    case $status in
    0) summary_record "$name" 1 0 0 "$took" ;;
    77) summary_record "$name" 0 0 1 "exit 77, $took" ;;
    *) summary_record "$name" 0 1 0 "exit $status, $took" ;;
    esac
    return "$status"
}

# Prints "PASSED FAILED NOT_RUN" for a JUnit file that ctest wrote, or
# nothing when the file is missing or its cases do not add up to the count
# that ctest put at its head.
junit_counts()
{
    local file=$1
    [ -f "$file" ] || return 1
    local declared
    declared=$(sed -n 's/^[[:space:]]*tests="\([0-9]*\)".*/\1/p' "$file" | head -n 1)
    grep -o '<testcase [^>]* status="[a-z]*"' "$file" | sed 's/.* status="\([a-z]*\)"$/\1/' |
        awk -v declared="${declared:-x}" '
            { total++ }
            $0 == "run" { passed++ }
            $0 == "fail" { failed++ }
            $0 == "notrun" || $0 == "disabled" { not_run++ }
            END {
                if (declared == "x" || total != declared || passed + failed + not_run != total)
                    exit 1
                printf "%d %d %d\n", passed, failed, not_run
            }'
}

# A script of stages of its own (see the top): it adds its stages to this
# tally. When it ends badly without saying so in a stage, that counts as one
# failed stage under NAME.
run_stage_script()
{
    local name=$1 status=0
    shift
    local first=$(($(wc -l <"$OSTREVAN_TALLY") + 1))
    "$@" || status=$?
    local failed not_run
    read -r _ failed not_run < <(summary_sum "$first")
    if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && [ "$not_run" -eq 0 ]; then
        summary_record "$name" 0 1 0 "exit $status outside its stages"
    fi
    return "$status"
}

run_ctest_stage()
{
    local name=$1 build_dir=$2 start=$SECONDS status=0
    shift 2
    if [ ! -d "$build_dir" ]; then
        summary_record "$name" 0 1 0 "no build directory $build_dir"
        return 1
    fi
    local junit
    junit="$(cd "$build_dir" && pwd)/junit-$(printf '%s' "$name" | tr -c 'A-Za-z0-9_.-' '_').xml"
    rm -f "$junit"
    echo "== stage $name: ctest --test-dir $build_dir $*"
    ctest --test-dir "$build_dir" --output-junit "$junit" "$@" || status=$?
    local took="$((SECONDS - start))s" counts
    if ! counts=$(junit_counts "$junit"); then
        summary_record "$name" 0 1 0 "no readable JUnit from ctest, exit $status, $took"
        return 1
    fi
    local passed failed not_run
    read -r passed failed not_run <<<"$counts"
    if [ $((passed + failed + not_run)) -eq 0 ]; then
        summary_record "$name" 0 1 0 "ctest ran no test, $took"
        return 1
    fi
    # ctest failing for a reason of its own, with every test fine, is a failure
    # too, and one that no test would show.
    if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && [ "$not_run" -eq 0 ]; then
        failed=1
    fi
    summary_record "$name" "$passed" "$failed" "$not_run" "ctest exit $status, $took"
    [ "$failed" -eq 0 ] && [ "$not_run" -eq 0 ]
}

summary_end()
{
    local passed failed not_run
    if [ "$summary_owner" -ne 1 ]; then
        read -r passed failed not_run < <(summary_sum "$summary_first")
        [ "$failed" -eq 0 ] && [ "$not_run" -eq 0 ]
        return
    fi
    read -r passed failed not_run < <(summary_sum 1)
    echo
    echo "stages:"
    awk -F '\t' '{ printf "  %-44s %5d passed %3d failed %3d not run  %s\n", $1, $2, $3, $4, $5 }' \
        "$OSTREVAN_TALLY"
    rm -rf "$summary_dir"
    unset OSTREVAN_TALLY
    if [ "$not_run" -gt 0 ]; then
        echo "summary: ${passed} passed, ${failed} failed, ${not_run} not run"
    else
        echo "summary: ${passed} passed, ${failed} failed"
    fi
    [ "$failed" -eq 0 ] && [ "$not_run" -eq 0 ]
}
