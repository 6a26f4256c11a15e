#!/bin/sh
# flotilla-frame against published DIAG and boot downloader frames, both ways.
tool=$1
fail=0
check() {
  expected=$1
  shift
  got=$("$tool" "$@" 2>&1)
  if [ "$got" != "$expected" ]; then
    echo "FAIL: flotilla-frame $*: got '$got', expected '$expected'"
    fail=1
  fi
}
check 0078f07e encode --mode diag 00
check 01f1e17e encode --mode diag 01
check 7e064e957e encode --mode boot 06
check 7e07c7847e encode --mode boot 07
check 7d5e7d5df1cd7e encode --mode diag 7e7d
check 00 decode --mode diag 0078f07e
check 02 decode --mode boot 7e026ad37e
check 02 decode --mode boot 026ad37e
check 7e7d decode --mode diag 7d5e7d5df1cd7e
check "the Received Data is Wrong with Wrong CRC Checksum" decode --mode diag 0078f17e
check "the Received Data is Wrong without End Flag(0x7e)" decode --mode stream 0c143a
if "$tool" decode --mode diag 0078f17e >/dev/null 2>&1; then echo "FAIL: bad frame exit 0"; fail=1; fi
if "$tool" encode --mode nope 00 >/dev/null 2>&1; then echo "FAIL: bad mode exit 0"; fail=1; fi
if "$tool" encode --mode diag 0g >/dev/null 2>&1; then echo "FAIL: bad hex exit 0"; fail=1; fi
[ $fail = 0 ] && echo "flotilla-frame: all checks passed"
exit $fail
