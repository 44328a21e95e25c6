#!/bin/sh
# Makes, in the folder $1, files of users other than the one the Windows tests run as (wine runs
# them as nobody), for the rows that plant them beside a target: copies of user 4321
# (copy-N), targets of nobody's that anyone may write (target-N), and a state folder of user
# 4321 that anyone may write into (state/pairset). Only root can give files away: run otherwise,
# it leaves the folder out, and those rows are skipped.
set -eu
folder=$1
rm -rf "$folder"
[ "$(id -u)" = 0 ] || exit 0
mkdir -m 0777 "$folder"
for i in 0 1 2 3 4 5 6 7 8 9; do
  install -o 4321 -g 4321 -m 0666 /dev/null "$folder/copy-$i"
  # Written long ago: a file of a new file's name is then old enough to be taken for left behind.
  touch -d '1 hour ago' "$folder/copy-$i"
  install -o 65534 -g 65534 -m 0666 /dev/null "$folder/target-$i"
done
mkdir -p "$folder/state/pairset"
chown -R 4321:4321 "$folder/state"
chmod 0777 "$folder/state/pairset"
