#!/bin/sh
# Runs a command with every file it writes limited to BYTES, as on a volume that fills up while
# a file is written: a write past the limit fails (SIGXFSZ is ignored, so it does not end the
# process) after the bytes below the limit went in. VELLUMO_FILE_SIZE_LIMIT tells the command.
#   file_size_limit.sh BYTES COMMAND [ARGS...]
set -eu
bytes=$1
shift
trap '' XFSZ
export VELLUMO_FILE_SIZE_LIMIT="$bytes"
exec prlimit --fsize="$bytes" -- "$@"
