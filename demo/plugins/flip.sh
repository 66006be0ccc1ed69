#!/bin/sh
# Demo check that alternates between OK and CRITICAL on every run, so that incidents open and
# close while the demo runs.
#
#   flip.sh STATE_FILE [critical|ok]
#
# STATE_FILE keeps the state of the last run and the number of runs; the optional second
# argument is the state of the first run (critical by default). The daemon starts plugins with
# an empty environment, hence the PATH below.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

state_file=$1
first=${2:-critical}
if [ -z "$state_file" ]; then
  echo "UNKNOWN - usage: flip.sh STATE_FILE [critical|ok]"
  exit 3
fi

last=""
runs=0
if [ -r "$state_file" ]; then
  read -r last runs <"$state_file" || true
fi
case "$runs" in
  '' | *[!0-9]*) runs=0 ;;
esac
runs=$((runs + 1))

case "$last" in
  ok) now=critical ;;
  critical) now=ok ;;
  *) now=$first ;;
esac

if ! echo "$now $runs" >"$state_file"; then
  echo "UNKNOWN - cannot write $state_file"
  exit 3
fi

if [ "$now" = ok ]; then
  echo "OK - run $runs of the flapping check"
  exit 0
fi
echo "CRITICAL - run $runs of the flapping check (it recovers on the next run)"
exit 2
