#!/usr/bin/env bash
# Runs the security benchmark and, beside it, OpenSSL's own AES-256-GCM figure for 64 KiB blocks,
# so the channel's throughput can be read against the library's on the same machine.
set -euo pipefail
build="${1:-build}"
"$build/bin/bench_security" --benchmark_min_time=1
echo
echo "openssl speed -evp aes-256-gcm -bytes 65536 (encryption only):"
openssl speed -evp aes-256-gcm -bytes 65536 -seconds 3 2>/dev/null | tail -1
