#!/bin/sh
# The driver library exports exactly its eleven entry points.
set -eu
lib="$1"
expected="DrvAdvPageSetupDlg DrvEnableDriver GetPrinterStatus NVP_Close NVP_Deinit NVP_IOControl NVP_Init NVP_Open ResetPrinter StopPortMonitor UpdatePrinterStatus"
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBVR]$/ {print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exports of $lib:"
  echo "  expected: $expected"
  echo "  actual:   $actual"
  exit 1
fi
echo "$lib exports exactly the eleven entry points"
