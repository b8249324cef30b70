#!/bin/sh
# The module exports exactly C_GetFunctionList and C_Initialize.
set -eu
exported=$(nm -D --defined-only "$1" | awk '$2 ~ /^[TtWwDdBbVvRr]$/ {print $3}' | sort | tr '\n' ' ')
if [ "$exported" != "C_GetFunctionList C_Initialize " ]; then
  echo "unexpected exports: $exported" >&2
  exit 1
fi
