#!/usr/bin/env bash
# A throw-away Dovecot (IMAP and POP3) for the bounce mailbox tests.
#   dovecot.sh start STATE   configure it in a new temporary folder, start it on free ports of
#                            127.0.0.1 with a certificate of its own, and write into the folder
#                            STATE: "imaps", "imap" (STARTTLS) and "pop3s" (ports), "user",
#                            "password", "maildir" (the user's Maildir), "fingerprint" (SHA-256
#                            of its certificate) and "datadir".
#   dovecot.sh stop STATE    stop it and remove its folder and STATE.
# Mail is kept as the user who calls this, or as nobody when that is root (Dovecot keeps no mail
# as root); its own users run its logins. The Maildir's folders are open to all, so that a test
# may put messages there as itself.
set -euo pipefail
action=${1:?start or stop}
state=${2:?state folder}

stop() {
  [ -f "$state/datadir" ] || return 0
  local data
  data=$(cat "$state/datadir")
  if [ -f "$data/run/master.pid" ]; then
    kill "$(cat "$data/run/master.pid")" 2>/dev/null || true
    for _ in $(seq 50); do [ -f "$data/run/master.pid" ] && kill -0 "$(cat "$data/run/master.pid")" 2>/dev/null || break; sleep 0.1; done
  fi
  case $data in /tmp/brevora-dovecot.*) rm -rf "$data" ;; esac
  rm -rf "$state"
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

case $action in
start)
  command -v dovecot >/dev/null || { echo "Dovecot is not installed (Debian: dovecot-imapd dovecot-pop3d)" >&2; exit 1; }
  stop
  mkdir -p "$state"
  data=$(mktemp -d /tmp/brevora-dovecot.XXXXXX)
  chmod 755 "$data"
  echo "$data" >"$state/datadir"
  mkdir -p "$data/run" "$data/state" "$data/home/bounces/Maildir"/{new,cur,tmp}
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout "$data/key.pem" -out "$data/cert.pem" \
    >/dev/null 2>&1
  password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  printf 'bounces:{PLAIN}%s\n' "$password" >"$data/passwd"
  imap=$(free_port); imaps=$(free_port); pop3s=$(free_port)
  mailuid=$(id -u); mailgid=$(id -g)
  if [ "$mailuid" -eq 0 ]; then mailuid=$(id -u nobody); mailgid=$(id -g nobody); fi
  cat >"$data/dovecot.conf" <<CONF
base_dir = $data/run
state_dir = $data/state
log_path = $data/dovecot.log
protocols = imap pop3
listen = 127.0.0.1
ssl = required
ssl_cert = <$data/cert.pem
ssl_key = <$data/key.pem
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = yes
auth_mechanisms = plain login
default_internal_user = dovecot
default_login_user = dovenull
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $data/passwd
}
userdb {
  driver = static
  args = uid=$mailuid gid=$mailgid home=$data/home/%u
}
mail_location = maildir:$data/home/%u/Maildir
namespace inbox {
  inbox = yes
  separator = /
}
service imap-login {
  inet_listener imap {
    port = $imap
  }
  inet_listener imaps {
    port = $imaps
    ssl = yes
  }
}
service pop3-login {
  inet_listener pop3 {
    port = 0
  }
  inet_listener pop3s {
    port = $pop3s
    ssl = yes
  }
}
service anvil {
  chroot =
}
service stats {
  unix_listener stats-reader {
    mode = 0666
  }
  unix_listener stats-writer {
    mode = 0666
  }
}
CONF
  chown -R "$mailuid:$mailgid" "$data/home"
  chmod -R 777 "$data/home"
  # Its output goes to its log: the daemon must not keep the caller's pipes open.
  dovecot -c "$data/dovecot.conf" </dev/null >>"$data/start.log" 2>&1 || { cat "$data/start.log" "$data/dovecot.log" >&2 2>/dev/null; exit 1; }
  for _ in $(seq 100); do
    python3 -c "import socket,sys; s=socket.socket(); s.settimeout(0.2); sys.exit(s.connect_ex(('127.0.0.1', $imaps)))" && break
    sleep 0.1
  done
  echo "$imaps" >"$state/imaps"; echo "$imap" >"$state/imap"; echo "$pop3s" >"$state/pop3s"
  echo bounces >"$state/user"; echo "$password" >"$state/password"
  echo "$data/home/bounces/Maildir" >"$state/maildir"
  openssl x509 -in "$data/cert.pem" -noout -fingerprint -sha256 | sed 's/.*=//' >"$state/fingerprint"
  echo "Dovecot $(dovecot --version | awk '{print $1}') on 127.0.0.1: imaps $imaps, imap $imap, pop3s $pop3s; data in $data"
  ;;
stop)
  stop
  echo "Dovecot stopped and removed"
  ;;
*)
  echo "start or stop" >&2
  exit 2
  ;;
esac
