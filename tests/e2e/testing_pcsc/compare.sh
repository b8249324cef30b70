#!/bin/sh
# Runs the scenario against real pcscd and against the in-process service and
# fails when the caller saw anything different.
# Usage: compare.sh REAL_BINARY INPROCESS_BINARY KALVIK_VCARD WORKDIR
set -u
real=$1 inprocess=$2 vcard=$3 work=$4
rm -rf "$work"
mkdir -p "$work/real" "$work/inprocess" || exit 1
"$real" --vcard "$vcard" --dir "$work/real" > "$work/real.txt" || { echo "real scenario failed"; cat "$work/real.txt"; exit 1; }
"$inprocess" --vcard "$vcard" --dir "$work/inprocess" > "$work/inprocess.txt" || { echo "in-process scenario failed"; cat "$work/inprocess.txt"; exit 1; }
if diff -u "$work/real.txt" "$work/inprocess.txt"; then
    cat "$work/real.txt"
    echo "same transcript through pcscd and through the in-process service"
else
    echo "transcripts differ (- real pcscd, + in-process service)"
    exit 1
fi
