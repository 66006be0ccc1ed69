#!/bin/sh
# Demo plugin: prints the arguments it was started with, each in brackets, and reports OK. It
# shows how the daemon turns a service's argument line (macros such as $IP, $NODENAME or
# $SNMP_PARAMETER, quotes) into the argument vector of the plugin.
printf 'OK - %d arguments:' "$#"
for arg in "$@"; do
  printf ' [%s]' "$arg"
done
printf '\n'
exit 0
