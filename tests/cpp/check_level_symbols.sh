#!/bin/sh
# Usage: check_level_symbols.sh NM OBJECT...
# Fails when an object defines a weak symbol (an inline function, template
# instance or inline variable): another object may define the same symbol
# without the object's instruction-set flags, and the linker keeps one copy.
# DW.ref.__gxx_personality_v0 (a pointer to the C++ exception personality
# routine, the same data in every object with landing pads) holds no code.
nm_tool=$1
shift
status=0
for obj in "$@"; do
  if ! symbols=$("$nm_tool" -C --defined-only "$obj"); then
    echo "cannot read $obj with $nm_tool"
    status=1
    continue
  fi
  # A reading that finds not even the level's table function proves nothing.
  if ! printf '%s\n' "$symbols" | grep -q ' T kelvor::[a-z0-9]*_kernels(.*)$'; then
    echo "$obj: no kelvor::*_kernels() defined; is this a level object?"
    status=1
  fi
  weak=$(printf '%s\n' "$symbols" | awk '$2 ~ /^[WwVvu]$/ && $3 != "DW.ref.__gxx_personality_v0"')
  if [ -n "$weak" ]; then
    echo "$obj defines weak symbols:"
    printf '%s\n' "$weak"
    status=1
  fi
done
[ $status -eq 0 ] && echo "no weak symbols in $# level object(s)"
exit $status
