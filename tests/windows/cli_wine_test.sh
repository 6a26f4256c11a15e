#!/bin/sh
# flotilla-cli.exe under Wine against stick-sim on COM ports: the DIAG reads, and the port
# lookup through the Wine registry before, during and after a re-enumeration.
#   cli_wine_test.sh FLOTILLA_CLI_EXE WINE_RUN AT_COM DIAG_COM
cli=$1
wine_run=$2
at=COM$3
diag=COM$4
fail=0
run() { "$wine_run" "$cli" "$@" 2>&1 | tr -d '\r'; }
check() {  # check NAME PATTERN args...
  name=$1 pattern=$2
  shift 2
  out=$(run "$@")
  if printf '%s\n' "$out" | grep -q -- "$pattern"; then
    echo "ok   $name"
  else
    echo "FAIL $name:"
    printf '%s\n' "$out"
    fail=1
  fi
}
check version '^version: WINE_FW_4.5.6$' --diag "$diag" version
check version-set '^text 9: MODEL_' --diag "$diag" version
check esn '^esn: [0-9a-f]\{8\}$' --diag "$diag" esn
check nv-read '^nv 550: [0-9a-f]\{256\}$' --diag "$diag" nv-read 550
check lookup "^diag port: $4 ($diag)" lookup
check lookup-at "^data port: $3 ($at)" lookup
check reset '^OK$' --at "$at" at AT+ZRST
# The stick drops its ports shortly after answering and is away for a few seconds.
lost=0
i=0
while [ $i -lt 40 ]; do
  if run lookup | grep -q 'no stick is registered'; then lost=1; break; fi
  sleep 0.25
  i=$((i + 1))
done
if [ $lost = 1 ]; then echo "ok   lookup loses the stick while it re-enumerates"; else echo "FAIL lookup never lost the stick"; fail=1; fi
back=0
i=0
while [ $i -lt 60 ]; do
  if run lookup | grep -q "^diag port: $4"; then back=1; break; fi
  sleep 0.5
  i=$((i + 1))
done
if [ $back = 1 ]; then echo "ok   lookup finds the stick again"; else echo "FAIL the stick did not come back"; fail=1; fi
check version-after-reset '^version: WINE_FW_4.5.6$' --diag "$diag" version
[ $fail = 0 ] && echo "flotilla-cli under Wine: all checks passed"
exit $fail
