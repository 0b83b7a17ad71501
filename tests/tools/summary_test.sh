#!/usr/bin/env bash
# The summary line of the test scripts against stages and ctest runs whose
# outcome is known: ctest runs over hand-written test lists (no build needed),
# a JUnit file that does not add up, stages that pass, fail or cannot run, and
# a script of stages inside another. Checks the printed counts and the exit
# status of each.
set -uo pipefail
summary="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools/lib" && pwd)/summary.sh"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/summary-test.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
unset OSTREVAN_TALLY
problems=0

# A ctest directory with the given add_test lines.
test_list()
{
    mkdir -p "$scratch/$1"
    printf '%s\n' "${@:2}" >"$scratch/$1/CTestTestfile.cmake"
}
test_list mixed 'add_test(passes /bin/true)' 'add_test(also_passes /bin/true)' \
    'add_test(fails /bin/false)' 'add_test(skips sh -c "exit 77")' \
    'set_tests_properties(skips PROPERTIES SKIP_RETURN_CODE 77)' \
    'add_test(off /bin/true)' 'set_tests_properties(off PROPERTIES DISABLED TRUE)'
test_list fine 'add_test(one /bin/true)' 'add_test(two /bin/true)'
test_list empty '# no tests'

# A script of stages of its own, as tools/test-sanitizers is one.
cat >"$scratch/nested" <<NESTED
#!/usr/bin/env bash
source "$summary"
summary_begin
run_stage "nested passes" true
run_stage "nested fails" false
summary_end
NESTED
printf '#!/bin/sh\nexit 3\n' >"$scratch/dies"
chmod +x "$scratch/nested" "$scratch/dies"

# Runs the stages given as one script, and compares its last line and status.
expect()
{
    local what=$1 line=$2 status=$3 script=$4
    local out got_status=0
    out=$(cd "$scratch" && bash -c "source '$summary'; summary_begin; $script
                                    summary_end" 2>&1) || got_status=$?
    local last
    last=$(printf '%s\n' "$out" | tail -n 1)
    if [ "$last" != "$line" ] || { [ "$status" = 0 ] && [ "$got_status" -ne 0 ]; } ||
        { [ "$status" != 0 ] && [ "$got_status" -eq 0 ]; }; then
        echo "FAIL $what: got \"$last\" (exit $got_status), want \"$line\" (exit $status)"
        printf '%s\n' "$out" | sed 's/^/    /'
        problems=$((problems + 1))
    else
        echo "ok   $what: $last (exit $got_status)"
    fi
}

expect "everything passes" "summary: 3 passed, 0 failed" 0 \
    'run_stage build true; run_ctest_stage suites fine'
expect "a failing test, a skipped and a disabled one, three stages" \
    "summary: 3 passed, 2 failed, 3 not run" nonzero \
    'run_stage good true; run_stage bad sh -c "exit 3"; run_stage cannot sh -c "exit 77"
     run_ctest_stage suites mixed'
expect "a stage that fails keeps the next from being skipped" \
    "summary: 2 passed, 1 failed" nonzero \
    'run_stage first false; run_ctest_stage after fine'
expect "ctest that ran nothing" "summary: 1 passed, 1 failed" nonzero \
    'run_stage build true; run_ctest_stage suites empty'
expect "no build directory" "summary: 0 passed, 1 failed" nonzero \
    'run_ctest_stage suites nowhere'
expect "a script of stages adds its own" "summary: 2 passed, 1 failed" nonzero \
    'run_stage first true; run_stage_script nested ./nested'
expect "a script that dies outside its stages" "summary: 1 passed, 1 failed" nonzero \
    'run_stage first true; run_stage_script dies ./dies'

# A JUnit file whose cases do not add up to its head is not believed.
cat >"$scratch/short.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="x"
	tests="3"
	failures="0"
	>
	<testcase name="a" classname="a" time="0" status="run">
	</testcase>
	<testcase name="b" classname="b" time="0" status="run">
	</testcase>
</testsuite>
XML
if (source "$summary"; junit_counts "$scratch/short.xml" >/dev/null); then
    echo "FAIL a JUnit file with two of its three cases was counted"
    problems=$((problems + 1))
else
    echo "ok   a JUnit file with two of its three cases is not counted"
fi
# The same file, whole, counts as two passed and one failed.
sed -i 's|</testsuite>|\t<testcase name="c" classname="c" time="0" status="fail">\n\t</testcase>\n</testsuite>|' \
    "$scratch/short.xml"
counts=$(source "$summary"; junit_counts "$scratch/short.xml")
if [ "$counts" = "2 1 0" ]; then
    echo "ok   the whole file counts as: $counts"
else
    echo "FAIL the whole file counts as \"$counts\", want \"2 1 0\""
    problems=$((problems + 1))
fi

echo "$problems problem(s)"
[ "$problems" -eq 0 ]
