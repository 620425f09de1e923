#!/usr/bin/env bash
# Signing figures: "brevora send --interval 0" of 2000 messages of about 1 KB over one session to
# the local sink, unsigned, signed with an RSA-2048 key and with an Ed25519 key (median of 3 runs
# each), beside OpenSSL's own signing rate for each kind of key on this machine (openssl speed, one
# core and every core).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
[ -x "$root/build/brevora" ] || "$root/scripts/build.sh"
out="$here/out/signing"
rm -rf "$out"; mkdir -p "$out"
cc -O2 -o "$out/minisink" "$here/sink/minisink.c" -lssl -lcrypto -lpthread
. "$here/lib.sh"
count=${SIGNING_COUNT:-2000}
port=$((20000 + RANDOM % 20000))
"$out/minisink" -U bench:s3cret -x 900 "127.0.0.1:$port" & sink=$!
trap 'kill $sink 2>/dev/null || true' EXIT
sleep 0.5

rate() { # label key-type
  local rates=()
  for run in 1 2 3; do
    local work="$out/$1-$run"
    setup_data "$work" $port 0 $count
    [ "$2" = none ] || "$root/build/brevora" dkim generate --domain example.com --selector s --type "$2" --data-dir "$work" >/dev/null
    local start end
    start=$(date +%s.%N)
    (cd "$work" && "$root/build/brevora" send --data-dir "$work" --list "$work/list.txt" --interval 0 >/dev/null)
    end=$(date +%s.%N)
    rates+=("$(python3 -c "print(int($count / ($end - $start)))")")
  done
  printf '%-34s %8s msg/s\n' "brevora, $1" "$(printf '%s\n' "${rates[@]}" | sort -n | sed -n 2p)"
}

echo "== Signing: $count messages over one session, local sink, median of 3 =="
rate unsigned none
rate "RSA-2048" rsa
rate "Ed25519" ed25519
cores=$(nproc)
for alg in rsa2048 ed25519; do
  one=$(openssl speed -seconds 2 "$alg" 2>/dev/null | grep -iE "^rsa 2048|\(ed25519\)" | tail -1)
  printf '%-34s %s\n' "openssl speed $alg, 1 core" "$one"
  all=$(openssl speed -seconds 2 -multi "$cores" "$alg" 2>/dev/null | grep -iE "^rsa 2048|\(ed25519\)" | tail -1)
  printf '%-34s %s\n' "openssl speed $alg, $cores cores" "$all"
done
