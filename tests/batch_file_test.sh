#!/usr/bin/env bash
# convert-units.bat under wine's cmd, beside the program it runs: no unit gives the usage and
# status 2; a wildcard is refused; each unit is told converted or not by the program's message;
# the summary names what did not convert, as the unit lines show it, and the status is 1; a unit
# named twice, or dropped with both its files, is converted and counted once; no part of a
# unit's name or of a dropped path is ever run; and it waits for a key only where Explorer
# started it.
#
#   batch_file_test.sh CONVERT_UNITS_BAT PAIRSET_EXE EXAMPLES_DIR WINE_RUN LAUNCH_EXE
#
# PAIRSET_BATCH_UNDER_TEST and PAIRSET_UNDER_TEST put another batch file and program (the
# shipped ones) in place of the built ones; PAIRSET_WINE_CHROOT, passed on to WINE_RUN, runs
# them under another wine.
set -uo pipefail
batch=${PAIRSET_BATCH_UNDER_TEST:-$1}
program=${PAIRSET_UNDER_TEST:-$2}
examples=$3
wine_run=$4
launcher=$5

# Runs WINE_RUN with the remaining arguments in the folder $1.
in_wine() {
  local folder=$1
  shift
  (cd "$folder" && "$wine_run" "$@")
}

check_batch_file() {
  local unpacked=$1 status summary
  # wine-run runs the programs as nobody, who must write there.
  chmod -R a+rwX "$unpacked" || return 1
  status=0
  in_wine "$unpacked" cmd /c convert-units.bat >"$unpacked/usage.txt.out" || status=$?
  [[ $status == 2 ]] && grep -q 'convert-units.bat' "$unpacked/usage.txt.out" ||
    { echo "convert-units.bat without a unit: status $status" >&2; return 1; }
  status=0
  in_wine "$unpacked" cmd /c convert-units.bat lathe 'l*' missing LATHE >"$unpacked/log.txt.out" ||
    status=$?
  cmp "$expected" "$unpacked/lathe.c13" || return 1
  summary=$(tr -d '\r' <"$unpacked/log.txt.out")
  [[ $status == 1 && $(grep -cx '=== .*' <<<"$summary") == 3 ]] && grep -q ': 1$' <<<"$summary" &&
    grep -qx '  l\*' <<<"$summary" && [[ $(grep -c '^  ' <<<"$summary") == 2 ]] &&
    grep -qx '  missing' <<<"$summary" && [[ ! -e "$unpacked/l*.c13" ]] ||
    { echo "convert-units.bat lathe 'l*' missing: status $status" >&2; echo "$summary" >&2; return 1; }
  # Names are only data, an empty one is reported, and on a Russian Windows the log shows every
  # name as typed, in the one code page of the log's texts. The command line stands in a batch
  # file of its own (cp866, as a Russian console's), since wine would quote the quotes of a
  # Unix argument. wine's cmd writes the ANSI code page (1251) where Windows' writes the
  # console's (866): either way names and texts share it.
  printf '@echo ran B >ran-b.txt\r\n' >"$unpacked/B.bat"
  printf '@call convert-units.bat "A&B" "" 1И611 >hostile.txt.out\r\n@exit /b %%errorlevel%%\r\n' |
    iconv -f UTF-8 -t CP866 >"$unpacked/hostile.bat" || return 1
  chmod a+rw "$unpacked/B.bat" "$unpacked/hostile.bat" || return 1
  status=0
  PAIRSET_WINE_LANG=ru_RU.UTF-8 in_wine "$unpacked" cmd /c hostile.bat || status=$?
  summary=$(iconv -f CP1251 -t UTF-8 "$unpacked/hostile.txt.out" | tr -d '\r')
  [[ $status == 1 && ! -e "$unpacked/ran-b.txt" ]] && grep -qx '  A&B' <<<"$summary" &&
    grep -qx '  (пустое имя)' <<<"$summary" && grep -qx '  1И611' <<<"$summary" &&
    grep -qx '=== 1И611' <<<"$summary" ||
    { echo "convert-units.bat \"A&B\" \"\" 1И611: status $status" >&2; echo "$summary" >&2; return 1; }
  # On a Western Windows (ANSI code page 1252, console 437, where no Cyrillic letter can be
  # written) Cyrillic units convert all the same: the batch file never writes a name to a file.
  local unit
  for unit in 16К20 1И611; do
    cp "$examples"/lathe-input.cn1 "$unpacked/$unit-input.cn1" &&
      cp "$examples"/lathe-output.cn1 "$unpacked/$unit-output.cn1" || return 1
  done
  chmod -R a+rwX "$unpacked" || return 1
  status=0
  PAIRSET_WINE_LANG=en_US.UTF-8 in_wine "$unpacked" cmd /c convert-units.bat 16К20 1И611 \
    >"$unpacked/western.txt.out" || status=$?
  [[ $status == 0 ]] && cmp "$expected" "$unpacked/16К20.c13" &&
    cmp "$expected" "$unpacked/1И611.c13" ||
    { echo "convert-units.bat 16К20 1И611 on a Western Windows: status $status" >&2; return 1; }
  # A file dropped on the batch file (Explorer runs cmd /c ""<batch file>" "<file>"") is its
  # unit, in its own folder, whatever the current folder: here C:\Windows, where cmd starts a
  # batch file from a network share; both files of a unit are one unit.
  mkdir -p "$unpacked/dropped" || return 1
  cp "$examples"/lathe-input.cn1 "$unpacked/dropped/X-input.cn1" &&
    cp "$examples"/lathe-output.cn1 "$unpacked/dropped/X-output.cn1" || return 1
  printf '@cd /d %%SystemRoot%%\r\n@cmd /c ""%%~dp0..\\convert-units.bat" "%%~dp0X-input.cn1" "%%~dp0X-output.cn1""\r\n' \
    >"$unpacked/dropped/drop.bat" || return 1
  chmod -R a+rwX "$unpacked" || return 1
  status=0
  in_wine "$unpacked/dropped" cmd /c drop.bat </dev/null >"$unpacked/dropped.txt.out" || status=$?
  summary=$(tr -d '\r' <"$unpacked/dropped.txt.out")
  [[ $status == 0 && $(grep -cx '=== X' <<<"$summary") == 1 ]] && grep -q ': 1$' <<<"$summary" &&
    cmp "$expected" "$unpacked/dropped/X.c13" ||
    { echo "X-input.cn1 dropped on convert-units.bat: status $status" >&2; return 1; }
  # Started by Explorer it waits for a key at the end; started the same way by a scheduled task
  # or a front end (cmd /c ""<batch file>" ..."), or from a script, never. wine's cmd keeps no
  # %cmdcmdline%, so the test sets the one that such a start gives (a variable of that name
  # stands in for it on Windows too); the tests' launcher named explorer.exe is Explorer, and
  # under another name a scheduler or a front end.
  printf '@set "cmdcmdline=C:\\Windows\\system32\\cmd.exe /c ""%%~dp0convert-units.bat" lathe""\r\n@call "%%~dp0convert-units.bat" lathe\r\n' \
    >"$unpacked/explorer.bat" || return 1
  cp "$launcher" "$unpacked/explorer.exe" && cp "$launcher" "$unpacked/scheduler.exe" || return 1
  chmod a+rwx "$unpacked/explorer.bat" "$unpacked/explorer.exe" "$unpacked/scheduler.exe" || return 1
  local starter
  for starter in explorer scheduler; do
    rm -f "$unpacked/lathe.c13"
    status=0
    in_wine "$unpacked" "$unpacked/$starter.exe" cmd /c explorer.bat </dev/null \
      >"$unpacked/$starter.txt.out" || status=$?
    if [[ $starter == explorer ]]; then
      [[ $status == 0 ]] && grep -qi 'press any key' "$unpacked/$starter.txt.out" ||
        { echo "convert-units.bat started by Explorer: status $status, or no pause" >&2; return 1; }
    else
      [[ $status == 0 ]] && cmp "$expected" "$unpacked/lathe.c13" &&
        ! grep -qi 'press any key' "$unpacked/$starter.txt.out" ||
        { echo "convert-units.bat started by a scheduler: status $status, or a pause" >&2; return 1; }
    fi
  done
  ! grep -qi 'press any key' "$unpacked/log.txt.out" ||
    { echo "convert-units.bat started from a script paused" >&2; return 1; }
  # A file dropped from a folder with & and no space: Explorer does not quote its path, and cmd
  # cuts it at the & into an argument and a second command (here B\X-input.cn1, which cmd would
  # run as B\X-input.cn1.bat). Nothing of it is converted, and the rest is never run.
  mkdir -p "$unpacked/dropped/A&B" "$unpacked/B" || return 1
  cp "$examples"/lathe-input.cn1 "$unpacked/dropped/A&B/X-input.cn1" &&
    cp "$examples"/lathe-output.cn1 "$unpacked/dropped/A&B/X-output.cn1" || return 1
  printf '@echo ran B >"%%~dp0..\\ran-b.txt"\r\n' >"$unpacked/B/X-input.cn1.bat" || return 1
  chmod -R a+rwX "$unpacked" || return 1
  status=0
  cmdcmdline='C:\Windows\system32\cmd.exe /c ""C:\DNC\convert-units.bat" D:\A&B\X-input.cn1"' \
    in_wine "$unpacked" "$unpacked/explorer.exe" cmd /c convert-units.bat 'dropped\A&B\X-input.cn1' \
    </dev/null >"$unpacked/cut.txt.out" || status=$?
  [[ $status == 1 && ! -e "$unpacked/ran-b.txt" && ! -e "$unpacked/dropped/A&B/X.c13" ]] &&
    grep -qi 'press any key' "$unpacked/cut.txt.out" ||
    { echo "a path cut at & dropped on convert-units.bat: status $status, or its rest ran" >&2; return 1; }
}

# A folder of its own, which the programs (run by wine-run as nobody) may write, and the result
# the program gives for the example pair when it is run by itself.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
chmod 0777 "$unpacked"
cp "$batch" "$unpacked/convert-units.bat" && cp "$program" "$unpacked/pairset.exe" &&
  cp "$examples/lathe-input.cn1" "$examples/lathe-output.cn1" "$unpacked" || exit 1
chmod -R a+rwX "$unpacked"
in_wine "$unpacked" ./pairset.exe lathe-input.cn1 lathe-output.cn1 expected.c13.ref >/dev/null
expected=$unpacked/expected.c13.ref
[[ -s $expected ]] || { echo "pairset.exe did not convert the example pair" >&2; exit 1; }
check_batch_file "$unpacked" && echo "convert-units.bat: every check passed"
