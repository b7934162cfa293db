#!/bin/sh
# vellumo-cli list, a process of its own, among printers whose configuration descriptors are
# damaged at random (usb-printer-stand's mutated-config=SEED), eight a run beside a kind printer:
#   cli_damaged_configurations.sh VELLUMO_CLI LAUNCHER... usb-printer-stand
# Passes when every listing ended by itself (no signal, no sanitizer report: exit 0) within 20 s
# and still shows the kind printer. The seeds run from $VELLUMO_DESCRIPTOR_SEED (default 1), as
# many as $VELLUMO_DESCRIPTOR_COUNT (default 48).
cli=$1
shift
first=${VELLUMO_DESCRIPTOR_SEED:-1}
count=${VELLUMO_DESCRIPTOR_COUNT:-48}
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
set -f  # the printers' options below are split at spaces, never globbed
seed=$first
end=$((first + count))
while [ "$seed" -lt "$end" ]; do
    printers="--printer 1-1"
    last=$seed
    port=2
    while [ "$last" -lt "$end" ] && [ "$port" -le 9 ]; do
        printers="$printers --printer 1-$port:ipp-first,1284-first,mutated-config=$last"
        last=$((last + 1))
        port=$((port + 1))
    done
    # shellcheck disable=SC2086
    timeout 20 "$@" $printers -- "$cli" list --json >"$out"
    status=$?
    if [ "$status" -ne 0 ]; then
        echo "FAIL: list among seeds $seed to $((last - 1)) ended with $status"
        exit 1
    fi
    if ! grep -q '^\[{"id":"1-1","vendor_id":"04e8","product_id":"3301","address":"001:002","interface":0,' "$out"; then
        echo "FAIL: seeds $seed to $((last - 1)): the kind printer is not listed first, whole"
        cat "$out"
        exit 1
    fi
    seed=$last
done
echo "PASS: $count damaged configurations from seed $first, every listing whole"
