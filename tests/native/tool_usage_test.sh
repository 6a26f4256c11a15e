#!/bin/sh
# How every tool meets a newcomer: --help prints the usage and exits 0 without doing anything
# else (the scripts run with stand-ins for apt-get, ImageMagick, Wine and Xvfb that record any
# call); bad usage exits 2 with what is wrong and the usage; a missing file or directory is
# named before a stick is touched.
#   tool_usage_test.sh WORK TOOLS_DIR BIN_DIR
work=$1 tools=$2 bin=$3
rm -rf "$work"
mkdir -p "$work/stubs" "$work/empty"
calls="$work/stub-calls"
for cmd in apt-get sudo dpkg-query convert wine wineboot wineserver winepath Xvfb import \
  localedef cmake flock nohup; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\nexit 1\n' "$cmd" "$calls" >"$work/stubs/$cmd"
  chmod +x "$work/stubs/$cmd"
done

fail=0
# check EXIT PHRASE COMMAND...: the command exits EXIT, and its output (stdout for exit 0,
# stderr otherwise) holds PHRASE, ignoring case.
check() {
  want=$1 phrase=$2
  shift 2
  : >"$calls"
  (cd "$work/empty" && PATH="$work/stubs:$PATH" "$@") >"$work/out" 2>"$work/err" </dev/null
  rc=$?
  if [ "$want" = 0 ]; then shown="$work/out"; else shown="$work/err"; fi
  if [ $rc -ne "$want" ]; then
    echo "FAIL $*: exit $rc, not $want"; sed 's/^/    /' "$work/err" | head -5; fail=1
  elif ! grep -qiF -- "$phrase" "$shown"; then
    echo "FAIL $*: no \"$phrase\" in its output"; sed 's/^/    /' "$shown" | head -5; fail=1
  elif [ -s "$calls" ]; then
    echo "FAIL $*: called $(head -1 "$calls")"; fail=1
  elif [ -n "$(ls -A "$work/empty")" ]; then
    echo "FAIL $*: left $(ls -A "$work/empty" | head -1) in its working directory"; fail=1
    rm -rf "$work/empty" && mkdir "$work/empty"
  else
    echo "ok   $*"
  fi
}

# --help of every script and every program: the usage, exit 0, nothing else.
for script in check-layers fault-matrix install-deps locale-env make-form-art run-fuzz run-main-job \
  sim-ctl wine-prefix wine-run; do
  check 0 usage "$tools/$script" --help
done
for program in stick-sim flotilla-cli flotilla-mkimages flotilla-bench flotilla-frame flotilla-watch-idle; do
  check 0 usage "$bin/$program" --help
done

# Bad usage: exit 2, what is wrong, then the usage.
missing="$work/missing"
while IFS='|' read -r phrase command; do
  [ -n "$command" ] || continue
  # shellcheck disable=SC2086
  check 2 "$phrase" $command
  grep -qi usage "$work/err" || { echo "FAIL $command: no usage after the complaint"; fail=1; }
done <<EOF
required|$bin/flotilla-cli
unknown command frobnicate|$bin/flotilla-cli frobnicate
unknown command frobnicate|$bin/flotilla-cli --diag $missing frobnicate
ID is required|$bin/flotilla-cli nv-read
Could not convert|$bin/flotilla-cli nv-read abc
not expected: extra|$bin/flotilla-cli --diag $missing version extra
--nv-mode|$bin/flotilla-cli update $missing --nv-mode 7
no directory given|$bin/flotilla-mkimages
unknown option --bogus|$bin/flotilla-mkimages $missing --bogus
unknown option --bogus|$bin/flotilla-bench --bogus
--amss-size needs a number|$bin/flotilla-bench --amss-size
--amss-size needs a number|$bin/flotilla-bench --amss-size lots
no command given|$bin/flotilla-frame
unknown mode x|$bin/flotilla-frame encode --mode x 00
unknown command squash|$bin/flotilla-frame squash --mode diag 00
SECONDS must be|$bin/flotilla-watch-idle soon
SECONDS must be|$bin/flotilla-watch-idle 1 2
unknown option --bogus|$bin/stick-sim --bogus
unexpected argument extra|$bin/stick-sim extra
--latency-ms needs a value|$bin/stick-sim --latency-ms
bad value for --latency-ms|$bin/stick-sim --latency-ms soon
not a source tree|$tools/check-layers $missing
unknown argument --yes|$tools/install-deps --yes
unknown argument now|$tools/make-form-art now
usage|$tools/run-fuzz
unknown argument --german|$tools/run-main-job --german
usage|$tools/sim-ctl
unknown command restart|$tools/sim-ctl restart $missing
no STICK_SIM|$tools/sim-ctl start $missing
usage|$tools/wine-prefix
usage|$tools/wine-run
usage|$tools/locale-env de_DE
EOF

# What is missing is named, and nothing is sent to a stick (none is there to answer).
while IFS='|' read -r phrase command; do
  [ -n "$command" ] || continue
  # shellcheck disable=SC2086
  check 1 "$phrase" $command
done <<EOF
$missing/amss.mbn does not exist|$bin/flotilla-cli version-record $missing/amss.mbn
$missing/amss.mbn does not exist|$bin/flotilla-cli --diag $missing/diag download-check $missing/amss.mbn
directory $missing does not exist|$bin/flotilla-cli --diag $missing/diag nv-backup $missing/backup.nvm
$missing/backup.nvm does not exist|$bin/flotilla-cli --diag $missing/diag nv-restore $missing/backup.nvm
directory $missing does not exist|$bin/flotilla-cli --diag $missing/diag update $work --nv-dir $missing
EOF

[ $fail = 0 ] && echo "every tool answered as expected"
exit $fail
