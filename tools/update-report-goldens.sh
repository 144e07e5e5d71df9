#!/bin/bash
# Writes the readers' golden files anew from the stored-report fixtures:
# for each tests/fixtures/reports/NAME.json, the crash text in its four
# styles, the diagnosis and the Sentry event, in tests/fixtures/goldens/.
# With --fixtures it first records the fixtures themselves again with the
# real recorder (make_report_fixtures). Review the diff before committing.
#
#   tools/update-report-goldens.sh [--fixtures] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
refixture=false
if [[ "${1:-}" == "--fixtures" ]]; then refixture=true; shift; fi
build="${1:-build}"
tool="$build/tools/mayday-report/mayday-report"
cmake --build "$build" -j2 --target mayday-report make_report_fixtures >/dev/null
if $refixture; then
    rm -f tests/fixtures/reports/*.json
    "$build/tests/make_report_fixtures" tests/fixtures/reports >/dev/null 2>&1
fi
mkdir -p tests/fixtures/goldens
rm -f tests/fixtures/goldens/*
export TZ=UTC
for report in tests/fixtures/reports/*.json; do
    name="$(basename "$report" .json)"
    for style in unsymbolicated partial side-by-side symbolicated; do
        "$tool" text "$report" --style "$style" >"tests/fixtures/goldens/$name.$style.txt"
    done
    "$tool" diagnose "$report" >"tests/fixtures/goldens/$name.diagnosis.txt"
    "$tool" sentry "$report" >"tests/fixtures/goldens/$name.sentry.json"
done
echo "goldens written for $(ls tests/fixtures/reports/*.json | wc -l) fixtures"
