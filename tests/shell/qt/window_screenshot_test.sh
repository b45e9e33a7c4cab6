#!/usr/bin/env bash
# Runs the built program on a virtual X server during a capture from the
# simulated dongle, takes a screenshot and reads it back with OCR: the window
# must show what a person expects to see.
#   window_screenshot_test.sh <bin dir>
set -euo pipefail
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d /tmp/qm-shot-test.XXXXXX)
trap 'rm -rf "$out"' EXIT

bash "$here/../../../scripts/screenshot.sh" --bin "$bin" --out "$out" --stand-in
png=$out/quillmark-capture.png
[ -s "$png" ] || { echo "FAIL: no screenshot"; exit 1; }

# Enlarged for the OCR, which reads small UI fonts poorly.
convert "$png" -resize 200% "$out/big.png"
text=$(tesseract "$out/big.png" - 2>/dev/null)
echo "$text"
fail=0
for want in "Select the sniffing mode" "Choose sniffing device" "(COM200)" \
            "Start ZigBee sniffing OK!" "Stop" "Exit"; do
    if ! grep -qF -- "$want" <<<"$text"; then
        echo "FAIL: the window does not show \"$want\""
        fail=1
    fi
done
# The OCR reads the narrow space before the colon only now and then; the
# exact label text is checked by the model's tests, here it must show a count.
if ! grep -qE -- 'Rx ?: ?[0-9]+' <<<"$text"; then
    echo "FAIL: the window does not show the Rx count"
    fail=1
fi
exit $fail
