#!/bin/sh
# The companion reads with --raw into an empty folder under a file size limit far below the
# report (`ulimit -f 1`: 512 bytes), its SIGXFSZ at the default as from a shell:
#   cli_raw_under_file_limit.sh VELLUMO-CLI
# Ends with the companion's exit code, or 99 when it left a file in the folder.
cli=$1
# Only the folder is looked at: under AddressSanitizer's preload mktemp exits with 1 all the same.
folder=$(mktemp -d)
[ -d "$folder" ] || exit 98
(ulimit -f 1 && exec "$cli" read --raw "$folder/report.raw")
status=$?
left=$(ls -A "$folder")
rm -rf "$folder"
if [ -n "$left" ]; then
    echo "left behind: $left" >&2
    exit 99
fi
exit $status
