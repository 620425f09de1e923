#!/usr/bin/env bash
# A throw-away Postfix that delivers nothing outside this machine, for the bounce tests.
#   postfix.sh start STATE MAILDIR   configure it in a new temporary folder and start it, its
#                                    SMTP service on a free port of 127.0.0.1. It takes mail for
#                                    alice@example.test and bob@example.test (kept in Maildirs of
#                                    its own) and for bounces@bounce.test (with any "+tag"), which
#                                    goes to MAILDIR; any other address of example.test is taken
#                                    and bounced to its sender, as a relay does; every other
#                                    domain is refused. Writes "port", "datadir" and "maillog"
#                                    into the folder STATE.
#   postfix.sh stop STATE            stop it and remove its folder and STATE.
# Needs root (Postfix's master runs as root and drops to the postfix user).
set -euo pipefail
action=${1:?start or stop}
state=${2:?state folder}

stop() {
  [ -f "$state/datadir" ] || return 0
  local data
  data=$(cat "$state/datadir")
  postfix -c "$data/etc" stop >/dev/null 2>&1 || true
  case $data in /tmp/brevora-postfix.*) rm -rf "$data" ;; esac
  rm -rf "$state"
}

case $action in
start)
  maildir=${3:?the Maildir for bounces@bounce.test}
  command -v postfix >/dev/null || { echo "Postfix is not installed (Debian: postfix)" >&2; exit 1; }
  stop
  mkdir -p "$state"
  data=$(mktemp -d /tmp/brevora-postfix.XXXXXX)
  chmod 755 "$data"
  echo "$data" >"$state/datadir"
  mkdir -p "$data/etc" "$data/queue" "$data/data" "$data/mail"
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  nobody=$(id -u nobody); nogroup=$(id -g nobody)
  cat >"$data/etc/main.cf" <<CONF
compatibility_level = 3.6
queue_directory = $data/queue
data_directory = $data/data
mail_owner = postfix
setgid_group = postdrop
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = mx.example.test
mydomain = example.test
mydestination =
mynetworks = 127.0.0.0/8
virtual_mailbox_domains = example.test, bounce.test
virtual_mailbox_base = /
virtual_mailbox_maps = texthash:$data/etc/vmailbox
virtual_uid_maps = static:$nobody
virtual_gid_maps = static:$nogroup
recipient_delimiter = +
smtpd_reject_unlisted_recipient = no
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
default_transport = error:nothing leaves this machine
relay_transport = error:nothing leaves this machine
maillog_file = $data/maillog
maillog_file_prefixes = $data
biff = no
alias_maps =
alias_database =
CONF
  cat >"$data/etc/vmailbox" <<MAP
alice@example.test $data/mail/alice/
bob@example.test $data/mail/bob/
bounces@bounce.test ${maildir%/}/
MAP
  sed -E "s/^smtp +inet +n +- +y/127.0.0.1:$port inet n - n/; s/^(postlog +unix-dgram +n +- +n)/\1/" /etc/postfix/master.cf \
    >"$data/etc/master.cf"
  chown -R "$nobody:$nogroup" "$data/mail"
  postfix -c "$data/etc" set-permissions >/dev/null 2>&1 || true
  # Postfix tells its errors only to a terminal: script gives it one.
  script -qec "postfix -c $data/etc start" /dev/null >"$data/start.log" 2>&1 || { cat "$data/start.log" >&2; exit 1; }
  for _ in $(seq 100); do
    python3 -c "import socket,sys; s=socket.socket(); s.settimeout(0.2); sys.exit(s.connect_ex(('127.0.0.1', $port)))" && break
    sleep 0.1
  done
  echo "$port" >"$state/port"
  echo "$data/maillog" >"$state/maillog"
  echo "Postfix $(postconf -d mail_version | cut -d' ' -f3) on 127.0.0.1:$port, data in $data"
  ;;
stop)
  stop
  echo "Postfix stopped and removed"
  ;;
*)
  echo "start or stop" >&2
  exit 2
  ;;
esac
