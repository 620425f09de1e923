#!/usr/bin/env bash
# Signing figures: "brevora send --interval 0" of 10000 messages of about 1 KB over one session to
# the local sink, unsigned, signed with an RSA-2048 key and with an Ed25519 key (median of 5 runs
# each, with the CPU time per 1000 messages), beside OpenSSL's own signing rate for each kind of
# key on this machine (openssl speed, one core and every core), and each signed rate as a share
# of the lower of that every-core rate and the unsigned rate.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
[ -x "$root/build/brevora" ] || "$root/scripts/build.sh"
out="$here/out/signing"
rm -rf "$out"; mkdir -p "$out"
cc -O2 -o "$out/minisink" "$here/sink/minisink.c" -lssl -lcrypto -lpthread
. "$here/lib.sh"
count=${SIGNING_COUNT:-10000}
port=$((20000 + RANDOM % 20000))
"$out/minisink" -U bench:s3cret -x 900 "127.0.0.1:$port" & sink=$!
trap 'kill $sink 2>/dev/null || true' EXIT
sleep 0.5

rate() { # label key-type: prints the line, leaves the median rate in $median
  local rates=()
  for run in 1 2 3 4 5; do
    local work="$out/$1-$run"
    setup_data "$work" $port 0 $count
    [ "$2" = none ] || "$root/build/brevora" dkim generate --domain example.com --selector s --type "$2" --data-dir "$work" >/dev/null
    local start end
    start=$(date +%s.%N)
    (cd "$work" && /usr/bin/time -f "%U %S" -o "$work/cpu.txt" "$root/build/brevora" send --data-dir "$work" --list "$work/list.txt" --interval 0 >/dev/null)
    end=$(date +%s.%N)
    rates+=("$(python3 -c "u, s = open('$work/cpu.txt').read().split(); print(int($count / ($end - $start)), round((float(u) + float(s)) * 1e6 / $count))")")
  done
  local mid
  mid=$(printf '%s\n' "${rates[@]}" | sort -n | sed -n 3p)
  median=${mid%% *}
  printf '%-34s %8s msg/s %6s ms CPU per 1000\n' "brevora, $1" "$median" "${mid##* }"
}
speed() { # algorithm cores: signatures a second
  openssl speed -seconds 2 $([ "$2" -gt 1 ] && echo -multi "$2") "$1" 2>/dev/null | grep -iE "^rsa 2048|\(ed25519\)" | tail -1 |
    awk '{print ($1 == "rsa") ? $6 : $(NF-1)}'
}

echo "== Signing: $count messages over one session, local sink, median of 5 =="
rate unsigned none; unsigned=$median
rate "RSA-2048" rsa; rsa=$median
rate "Ed25519" ed25519; ed=$median
cores=$(nproc)
for alg in rsa2048 ed25519; do
  one=$(speed $alg 1)
  all=$(speed $alg "$cores")
  signed=$([ $alg = rsa2048 ] && echo "$rsa" || echo "$ed")
  printf '%-34s %8s sign/s on 1 core, %s on %s cores\n' "openssl speed $alg" "$one" "$all" "$cores"
  python3 -c "limit = min($all, $unsigned); print('%-34s %7.0f %% of %d (the lower of every core and unsigned)' % ('  brevora signed, share', 100.0 * $signed / limit, limit))"
done
