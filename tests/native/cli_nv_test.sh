#!/bin/sh
# flotilla-cli nv-backup and nv-restore over ptys, against stick-sims of their own: the
# file's 646 records carry the stick's values and statuses in table order, a restore brings
# changed items back, a stick that answers no NV read leaves an existing backup as it was,
# late answers never land in another item's record, and a worse backup never replaces a
# complete one.
#   cli_nv_test.sh FLOTILLA_CLI STICK_SIM SIM_CTL WORK_DIR FAULTS_JSON
cli=$1
sim=$2
simctl=$3
work=$4
silent_faults=$5
fail=0
ok() { echo "ok   $1"; }
bad() {
  echo "FAIL $1"
  [ -n "${2:-}" ] && printf '%s\n' "$2"
  fail=1
}
cleanup() {
  "$simctl" stop "$work/stick" >/dev/null 2>&1
  "$simctl" stop "$work/silent" >/dev/null 2>&1
  "$simctl" stop "$work/late" >/dev/null 2>&1
  "$simctl" stop "$work/worse" >/dev/null 2>&1
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work"

# The table  as ranges, expanded; written here again so the test does not trust
# the program's own copy.
table_ids() {
  for r in 0 22 23 90 141 148 453 519-525 529-545 569-573 724-735 740-816 819-822 856-876 \
    878 916 917 1058-1097 1102-1105 1143 1144 1152-1158 1161 1168 1169 1173-1176 1181-1184 \
    1186-1188 1196-1200 1284 1297 1298 1323 1336 1337 1345-1348 1795-1798 1801 1802 1814 \
    1815 1823-1829 1832 1839 1840 1844-1847 1861-1864 1866-1868 1971-1976 2009-2020 \
    2724-2729 2030-2041 2055-2066 2521-2552 2585-2592 2553-2584 2593-2648 2724-2741 2743 \
    2745 2749 2770-2777 3059-3062 3502-3505 3650 3651 3675 3659-3665 3676 3680-3683 3688 \
    3689 3691 3693-3695 3706-3709 3714-3717 3746-3751 3759 3767 3765 3778-3780 3766 \
    3781-3783 3789 3790 3804-3812 3815-3817 3819-3848 3969-3984 4179-4182 4161-4164 \
    4169-4172 4994 4403 4401 4408 4406 4423 4421 4413 4411 4965 4970 4975 4969 4974 4979 \
    4871 4872 4965 4970 4975 4990 8000-8029 550; do
    seq "${r%-*}" "${r#*-}"
  done
}
zeros=$(printf '%0256d' 0)

# One line per record of a backup file: id, value as hex, status.
records() {
  od -An -v -tu1 -w136 "$1" | awk '{
    v = ""; for (i = 5; i <= 132; i++) v = v sprintf("%02x", $i)
    printf "%d %s %d\n", $1 + 256 * $2, v, $133 + 256 * $134 }'
}

# The records a backup of the stick must hold: its store's values (the last line of an id
# in nv-items.txt wins) with status 0, the inactive item 90 with status 5 and zeros, then
# the terminator and the zero records.
expected_records() {
  table_ids | awk -v store="$1" -v zeros="$zeros" '
    BEGIN { while ((getline line < store) > 0) { if (line ~ /^#/) continue; split(line, f, " "); value[f[1]] = tolower(f[2]) } }
    { if ($1 == 90) print $1, zeros, 5; else print $1, value[$1], 0 }
    END { print 10000, zeros, 0; for (i = 0; i < 478; i++) print 0, zeros, 0 }'
}

nv_value() {  # nv_value ID: the value as nv-read prints it
  "$cli" --diag "$diag" nv-read "$1" 2>&1 | sed -n "s/^nv $1: //p"
}

"$simctl" start "$work/stick" "$sim" --link-dir "$work/stick" --state "$work/stick" \
  --inactive-nv 90 >/dev/null || exit 1
diag="$work/stick/diag"

# A backup: 153,000 bytes, the stick's values and statuses in table order.
out=$("$cli" --diag "$diag" nv-backup "$work/backup.nvm" 2>&1)
rc=$?
size=$(wc -c <"$work/backup.nvm" 2>/dev/null || echo 0)
if [ $rc -ne 0 ] || [ "$size" -ne 153000 ]; then
  bad "nv-backup writes 153,000 bytes (exit $rc, $size bytes)" "$out"
else
  ok "nv-backup writes 153,000 bytes"
fi
[ "$(table_ids | wc -l)" -eq 646 ] || bad "the test's own table has 646 ids"
records "$work/backup.nvm" >"$work/backup.txt"
expected_records "$work/stick/nv-items.txt" >"$work/expected.txt"
if cmp -s "$work/backup.txt" "$work/expected.txt"; then
  ok "the 646 records carry the stick's values and statuses in table order"
else
  bad "the records differ from the stick's store" "$(diff "$work/expected.txt" "$work/backup.txt" | head -5 | cut -c1-120)"
fi
printf '%s\n' "$out" | grep -q '^progress 15%$' || bad "nv-backup reports its progress up to 15%" "$out"
[ -e "$work/backup.nvm.tmp" ] && bad "nv-backup leaves no temporary file"

# Change items on the stick, the IMEI and both copies of 2724 among them; a restore brings
# them back.
before22=$(nv_value 22)
before550=$(nv_value 550)
before2724=$(nv_value 2724)
for id in 22 550 2724; do "$cli" --diag "$diag" nv-write $id deadbeef >/dev/null 2>&1; done
if [ "$(nv_value 22)" = "$before22" ]; then bad "nv-write changed item 22"; fi
out=$("$cli" --diag "$diag" nv-restore "$work/backup.nvm" 2>&1)
rc=$?
if [ $rc -ne 0 ] || [ "$(nv_value 22)" != "$before22" ] || [ "$(nv_value 550)" != "$before550" ] ||
   [ "$(nv_value 2724)" != "$before2724" ]; then
  bad "nv-restore brings the changed items back (exit $rc)" "$out"
else
  ok "nv-restore brings the changed items back"
fi

# NvMode 1 leaves the IMEI as the stick has it. The file marks every item but 550 as not
# read (status 0xFFFF), so the restore writes at most that one item and is quick.
cp "$work/backup.nvm" "$work/imei.nvm"
i=0
while [ $i -lt 645 ]; do
  printf '\377\377' | dd of="$work/imei.nvm" bs=1 seek=$((i * 136 + 132)) conv=notrunc 2>/dev/null
  i=$((i + 1))
done
"$cli" --diag "$diag" nv-write 550 0badf00d >/dev/null 2>&1
out=$("$cli" --diag "$diag" nv-restore "$work/imei.nvm" --nv-mode 1 2>&1)
rc=$?
if [ $rc -ne 0 ] || [ "$(nv_value 550)" = "$before550" ]; then
  bad "nv-restore --nv-mode 1 leaves 550 as the stick has it (exit $rc)" "$out"
else
  ok "nv-restore --nv-mode 1 leaves the IMEI out"
fi
out=$("$cli" --diag "$diag" nv-restore "$work/imei.nvm" 2>&1)
rc=$?
if [ $rc -ne 0 ] || [ "$(nv_value 550)" != "$before550" ]; then
  bad "nv-restore (NvMode 2) writes 550 back (exit $rc)" "$out"
else
  ok "nv-restore without --nv-mode writes the IMEI back"
fi
"$cli" --diag "$diag" nv-restore "$work/backup.nvm" --nv-mode 3 >/dev/null 2>&1 &&
  bad "nv-restore refuses --nv-mode 3"

# A file one byte short is refused before anything is written.
head -c 152999 "$work/backup.nvm" >"$work/short.nvm"
"$cli" --diag "$diag" nv-write 22 0badf00d >/dev/null 2>&1
out=$("$cli" --diag "$diag" nv-restore "$work/short.nvm" 2>&1)
rc=$?
if [ $rc -eq 0 ] || ! printf '%s\n' "$out" | grep -q "NVM file for backup NV doesn't exist or destroyed" ||
   [ "$(nv_value 22)" = "$before22" ]; then
  bad "nv-restore refuses a file of 152,999 bytes and writes nothing (exit $rc)" "$out"
else
  ok "nv-restore refuses a file of 152,999 bytes"
fi
"$simctl" stop "$work/stick"

# A stick that answers no NV read (every read refused with an error reply, which is quick;
# the in-process tests cover lost replies): the command fails and the existing backup stays
# byte for byte.
"$simctl" start "$work/silent" "$sim" --link-dir "$work/silent" --faults "$silent_faults" >/dev/null || exit 1
cp "$work/backup.nvm" "$work/existing.nvm"
out=$("$cli" --diag "$work/silent/diag" nv-backup "$work/existing.nvm" 2>&1)
rc=$?
if [ $rc -eq 0 ] || ! cmp -s "$work/backup.nvm" "$work/existing.nvm" || [ -e "$work/existing.nvm.tmp" ]; then
  bad "a stick that answers no NV read fails nv-backup and leaves the backup as it was (exit $rc)" "$out"
else
  ok "a stick that answers no NV read leaves the existing backup byte for byte"
fi

# A stick slow with items 90 and 141: 90's second answer comes while 141's read waits for
# its own. Each record must still carry its own item's value.
cat >"$work/late.json" <<'JSON'
{"rules": [
  {"code": "0x26", "nv_item": 90, "nth": 1, "action": "delay", "delay_ms": 2500},
  {"code": "0x26", "nv_item": 90, "nth": 2, "action": "delay", "delay_ms": 1500},
  {"code": "0x26", "nv_item": 141, "nth": 1, "action": "delay", "delay_ms": 1500}
]}
JSON
"$simctl" start "$work/late" "$sim" --link-dir "$work/late" --state "$work/late" --faults "$work/late.json" >/dev/null || exit 1
out=$("$cli" --diag "$work/late/diag" nv-backup "$work/late.nvm" 2>&1)
rc=$?
records "$work/late.nvm" >"$work/late.txt" 2>/dev/null
table_ids | awk -v store="$work/late/nv-items.txt" -v zeros="$zeros" '
  BEGIN { while ((getline line < store) > 0) { if (line ~ /^#/) continue; split(line, f, " "); value[f[1]] = tolower(f[2]) } }
  { print $1, value[$1], 0 }
  END { print 10000, zeros, 0; for (i = 0; i < 478; i++) print 0, zeros, 0 }' >"$work/late-expected.txt"
if [ $rc -ne 0 ] || ! cmp -s "$work/late.txt" "$work/late-expected.txt"; then
  bad "late answers for another item are passed over: every record holds its own item (exit $rc)" \
    "$(diff "$work/late-expected.txt" "$work/late.txt" 2>&1 | head -5 | cut -c1-120)"
else
  ok "late answers for another item are passed over: every record holds its own item"
fi

# A backup of the same stick replaces the file and keeps the one before beside it.
cp "$work/late.nvm" "$work/generations.nvm"
"$cli" --diag "$work/late/diag" nv-write 23 0badf00d >/dev/null 2>&1
out=$("$cli" --diag "$work/late/diag" nv-backup "$work/generations.nvm" 2>&1)
rc=$?
if [ $rc -ne 0 ] || ! cmp -s "$work/late.nvm" "$work/generations.previous.nvm" ||
   cmp -s "$work/late.nvm" "$work/generations.nvm"; then
  bad "a new backup keeps the one it replaces as generations.previous.nvm (exit $rc)" "$out"
else
  ok "a new backup keeps the one it replaces as its earlier generation"
fi
"$simctl" stop "$work/late"

# The same stick with its IMEI unreadable: the complete backup is not replaced by a worse one.
cat >"$work/imei-fails.json" <<'JSON'
{"rules": [{"code": "0x26", "nv_item": 550, "action": "nv_status", "nv_status": 4}]}
JSON
"$simctl" start "$work/worse" "$sim" --link-dir "$work/worse" --state "$work/late" --faults "$work/imei-fails.json" >/dev/null || exit 1
cp "$work/generations.nvm" "$work/complete.nvm"
out=$("$cli" --diag "$work/worse/diag" nv-backup "$work/complete.nvm" 2>&1)
rc=$?
if [ $rc -eq 0 ] || ! cmp -s "$work/generations.nvm" "$work/complete.nvm" || [ -e "$work/complete.previous.nvm" ] ||
   ! printf '%s\n' "$out" | grep -q "that backup is kept as it was"; then
  bad "a backup without the IMEI fails and leaves the complete one as it was (exit $rc)" "$out"
else
  ok "a backup without the IMEI fails and leaves the complete one as it was"
fi
"$simctl" stop "$work/worse"

[ $fail = 0 ] && echo "flotilla-cli nv: all checks passed"
exit $fail
