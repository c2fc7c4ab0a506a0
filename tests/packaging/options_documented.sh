#!/usr/bin/env bash
# Every option that a program's --help names is in its man page, and the
# simulator's options are in docs/simulator.md as well.
#   options_documented.sh BIN_DIR SOURCE_DIR
set -uo pipefail
bin=$1
source=$2
status=0
for program in KvxDiagnostics kvxsim kvxsimctl; do
  page=$(LANG=C MANWIDTH=200 man -l "$source/packaging/$program.1" 2>/dev/null)
  [ -n "$page" ] || { echo "$program.1 cannot be read"; status=1; continue; }
  for option in $("$bin/$program" --help | grep -o -- '--[a-z][a-z.-]*[a-z]' | sort -u); do
    grep -q -- "$option" <<<"$page" || { echo "$program.1 lacks $option"; status=1; }
    if [ "$program" != KvxDiagnostics ]; then
      grep -q -- "\`$option" "$source/docs/simulator.md" || { echo "docs/simulator.md lacks $program $option"; status=1; }
    fi
  done
done
exit $status
