#!/usr/bin/env bash
# Renders examples/mosquitto-dock-bridge.conf for one dock and prints it.
#
#   scripts/render-dock-bridge.sh --dock ID --fleet HOST[:PORT] --cafile FILE --cert FILE --key FILE
#       [--username NAME --password TEXT] [--local-port PORT] [--data-dir DIR] [--log-dest DEST]
#       [--no-bridge-flag] [--qos 1] [--password-file FILE] [--acl-file FILE] [--bridge-only]
#
#   --dock        the dock's id: the fleet's topics docks/ID/... are this dock's (letters, digits,
#                 ".", "_", "-"; it is also the common name of the dock's certificate)
#   --fleet       the fleet broker's TLS listener (port 8883 when left out)
#   --cafile      CA certificate that signed the fleet broker's certificate
#   --cert/--key  the dock's client certificate and its private key
#   --username/--password  also log in with these at the fleet broker
#   --local-port  the local listener on 127.0.0.1 (default 1883)
#   --data-dir    the persistence directory (default /var/lib/mosquitto/)
#   --log-dest    mosquitto's log_dest (default "syslog"; e.g. "file /var/log/mosquitto/dock.log")
#   --no-bridge-flag  for a fleet broker that refuses mosquitto's bridge flag (see the template)
#   --qos 1       QoS 1 on the bridge's topics, for a fleet broker without QoS 2 (at least once:
#                 a request may then run twice)
#   --password-file/--acl-file  the local clients' accounts and what each may do (default: the
#                 vek-command package's /etc/mosquitto/vek-dock.passwd and vek-dock.acl)
#   --bridge-only the bridge alone, for a broker whose local side is set up elsewhere (the
#                 vek-command package's /etc/mosquitto/conf.d/vek-dock.conf)
set -euo pipefail

TEMPLATE="$(dirname "$0")/../examples/mosquitto-dock-bridge.conf"

usage() {
  sed -n '3,23p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

fail() {
  echo "render-dock-bridge: $*" >&2
  exit 2
}

dock="" fleet="" cafile="" cert="" key="" username="" password=""
local_port=1883 data_dir=/var/lib/mosquitto/ log_dest=syslog bridge_flag=true qos=2
password_file=/etc/mosquitto/vek-dock.passwd acl_file=/etc/mosquitto/vek-dock.acl bridge_only=false
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || [ "$1" = "--no-bridge-flag" ] || [ "$1" = "--bridge-only" ] || usage
  case $1 in
    --dock) dock=$2 ;;
    --fleet) fleet=$2 ;;
    --cafile) cafile=$2 ;;
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --username) username=$2 ;;
    --password) password=$2 ;;
    --local-port) local_port=$2 ;;
    --data-dir) data_dir=$2 ;;
    --log-dest) log_dest=$2 ;;
    --qos) qos=$2 ;;
    --password-file) password_file=$2 ;;
    --acl-file) acl_file=$2 ;;
    --no-bridge-flag) bridge_flag=false; shift; continue ;;
    --bridge-only) bridge_only=true; shift; continue ;;
    *) usage ;;
  esac
  shift 2
done

[ -n "$dock" ] && [ -n "$fleet" ] && [ -n "$cafile" ] && [ -n "$cert" ] && [ -n "$key" ] || usage
# The id becomes a topic level and a client id: a "/", "+" or "#" would reach other docks' topics.
[[ $dock =~ ^[A-Za-z0-9._-]+$ ]] || fail "invalid dock id \"$dock\""
[[ $fleet =~ ^[A-Za-z0-9.:_-]+$ ]] || fail "invalid fleet address \"$fleet\""
[[ $fleet == *:* ]] || fleet="$fleet:8883"
[[ $local_port =~ ^[0-9]+$ ]] && [ "$local_port" -ge 1 ] && [ "$local_port" -le 65535 ] ||
  fail "invalid local port \"$local_port\""
# mosquitto splits its options at blanks and ends them at a line break.
for value in "$cafile" "$cert" "$key" "$data_dir" "$username" "$password" "$password_file" "$acl_file"; do
  [[ $value != *[[:space:]]* ]] || fail "blank or line break in \"$value\""
done
[[ $log_dest != *$'\n'* ]] || fail "line break in the log destination"
[ -z "$password" ] || [ -n "$username" ] || fail "--password needs --username"
[ "$qos" = 1 ] || [ "$qos" = 2 ] || fail "invalid QoS \"$qos\" (1 or 2)"
[[ $data_dir == */ ]] || data_dir="$data_dir/"

auth=""
if [ -n "$username" ]; then
  auth="remote_username $username"
  [ -z "$password" ] || auth+=$'\n'"remote_password $password"
fi

# Replacement texts are taken literally ("&" has no meaning in them).
shopt -u patsub_replacement 2>/dev/null || true
text=$(<"$TEMPLATE")
text=${text//@DOCK_ID@/$dock}
text=${text//@FLEET_ADDRESS@/$fleet}
text=${text//@CAFILE@/$cafile}
text=${text//@CERTFILE@/$cert}
text=${text//@KEYFILE@/$key}
text=${text//@LOCAL_PORT@/$local_port}
text=${text//@DATA_DIR@/$data_dir}
text=${text//@LOG_DEST@/$log_dest}
text=${text//@REMOTE_AUTH@/$auth}
text=${text//@PASSWORD_FILE@/$password_file}
text=${text//@ACL_FILE@/$acl_file}
if [ "$qos" = 1 ]; then
  from=' 2 "" docks/' to=' 1 "" docks/'
  text=${text//"$from"/"$to"}
fi
if [ "$bridge_flag" = false ]; then
  text=${text//try_private true/try_private false}
fi
if [ "$bridge_only" = true ]; then
  marker="# The bridge to the fleet broker."
  text="$marker${text#*"$marker"}"
fi
printf '%s\n' "$text"
