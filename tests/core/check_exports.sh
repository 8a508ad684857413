#!/bin/sh
# The plug-in library must export exactly VSTPluginMain and main.
set -eu
syms=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$syms" = "VSTPluginMain main " ]; then
    echo "1 passed, 0 failed"
    exit 0
fi
echo "unexpected exports: $syms"
exit 1
