# Sourced by the tests that need their own DNS: a network namespace whose resolv.conf names a
# dnsmasq serving the test's records (programs run in it with "ip netns exec"). Needs root.

# dns_test_begin NAME: the start every such test shares. Skips (exit 77) without root, fails
# without dnsmasq, and sets $work (a scratch folder) and $ns (the namespace's name), both removed
# on exit.
dns_test_begin() {
  [ "$(id -u)" -eq 0 ] || { echo "skipped: a network namespace needs root"; exit 77; }
  command -v dnsmasq >/dev/null || { echo "dnsmasq is missing (Debian: dnsmasq-base)"; exit 1; }
  work=$(mktemp -d)
  ns="brevora-$1-$$"
  trap 'dns_stop "$ns" "$work/dnsmasq.pid"; rm -rf "$work"' EXIT
}

# dns_txt NAME VALUE: dnsmasq's option for a TXT record, in strings of at most 250 bytes
# (dnsmasq keeps quotes as part of the text, so none are added).
dns_txt() {
  python3 -c 'import sys; n,v=sys.argv[1:]; print("--txt-record=%s,%s" % (n, ",".join(v[i:i+250] for i in range(0, len(v), 250))))' "$1" "$2"
}

# dns_start NAMESPACE PIDFILE DNSMASQ-OPTION...: the namespace, its loopback up, its resolv.conf
# and dnsmasq answering on 127.0.0.1:53 in it.
dns_start() {
  local ns=$1 pidfile=$2
  shift 2
  ip netns add "$ns"
  ip -n "$ns" link set lo up
  mkdir -p "/etc/netns/$ns"
  echo "nameserver 127.0.0.1" >"/etc/netns/$ns/resolv.conf"
  ip netns exec "$ns" dnsmasq --no-resolv --no-hosts --listen-address=127.0.0.1 --bind-interfaces --port=53 \
    --pid-file="$pidfile" "$@"
}

# dns_stop NAMESPACE PIDFILE: dnsmasq stopped, the namespace and its resolv.conf removed.
dns_stop() {
  [ -f "$2" ] && kill "$(cat "$2")" 2>/dev/null || true
  ip netns del "$1" 2>/dev/null || true
  rm -rf "/etc/netns/$1"
}
