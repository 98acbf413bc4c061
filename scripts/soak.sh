#!/usr/bin/env bash
# The long soak of the real program on an X server of its own: 50 warm-up loads through the
# file dialog, then 500 more and 10,000 steps of the kernel size; prints how resident memory grew.
# The test command runs the same with 20 and 100 loads.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target tst_soak vireoscope
VIREOSCOPE_LONG_SOAK=1 QT_QPA_PLATFORM=offscreen build/default/bin/tst_soak realWindowStaysFlat 2>&1 \
    | sed -n -e 's/^QINFO  : TestSoak::realWindowStaysFlat() //p' -e '/^FAIL!/,+1p' -e '/^Totals/p'
exit "${PIPESTATUS[0]}"
