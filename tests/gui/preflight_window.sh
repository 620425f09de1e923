#!/usr/bin/env bash
# The main window's check before a first run, against a real DNS server: dnsmasq holding
# good.test's records in a network namespace of the test's own, where the window test runs.
# Needs root (exits 77, skipped, without it).
#   preflight_window.sh TEST_MAINWINDOW
set -euo pipefail
program=${1:?the main window test program}
. "$(dirname "$0")/../support/dnsns.sh"
dns_test_begin window
dns_start "$ns" "$work/dnsmasq.pid" \
  "$(dns_txt good.test "v=spf1 ip4:192.0.2.1 -all")" \
  "$(dns_txt _dmarc.good.test "v=DMARC1; p=reject")" \
  --mx-host=good.test,mx.good.test,10 --local=/test/
ip netns exec "$ns" env BREVORA_TEST_DNS=good.test QT_QPA_PLATFORM=offscreen \
  "$program" --gtest_filter=MainWindowTest.ChecksBeforeTheFirstRunOfAPair
