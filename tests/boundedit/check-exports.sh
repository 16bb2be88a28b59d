#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# check-exports.sh BOUNDEDIT_LIBRARY [GUI_LIBRARY]
# The library exports the property operations of the widget classes; the
# stand-in widget library, when given, leaves them to it.
set -euo pipefail
boundedit=$1 gui=${2:-}
faults=0
functions=("Quorvan::CtvkWidget::tvk_static_metacall(" "Quorvan::CtvkSpinBox::tvk_metacall("
           "Quorvan::CtvkDoubleSpinBox::tvk_metacall(")
exported=$(nm -DC --defined-only "$boundedit")
[ -z "$gui" ] || inGui=$(nm -DC --defined-only "$gui")
for f in "${functions[@]}"; do
  grep -qF -e " T $f" <<<"$exported" || { echo "FAULT: $boundedit does not export $f...)"; faults=$((faults + 1)); }
  if [ -n "$gui" ] && grep -qF -e "$f" <<<"$inGui"; then
    echo "FAULT: $gui defines $f...) as well"
    faults=$((faults + 1))
  fi
done
[ "$faults" -eq 0 ] && echo "ok: ${#functions[@]} functions, defined once"
exit $((faults > 0))
