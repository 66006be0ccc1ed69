#!/bin/sh
# Demo alerting program. The daemon starts it when a service changes to a state the service's
# response row asks for, with the incident id in place of the "$ERROR" argument.
#
#   alert.sh LOG_FILE SERVICE INCIDENT [MORE...]
#
# Appends one line to LOG_FILE: the time, service=SERVICE, incident=INCIDENT and the other
# arguments as given.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

log=${1:?usage: alert.sh LOG_FILE SERVICE INCIDENT [MORE...]}
service=${2:-}
incident=${3:-}
if [ $# -ge 3 ]; then shift 3; else shift $#; fi
{
  printf '%s service=%s incident=%s' "$(date '+%Y-%m-%d %H:%M:%S')" "$service" "$incident"
  for arg in "$@"; do
    printf ' %s' "$arg"
  done
  printf '\n'
} >>"$log"
