# bash completion for vellumo-cli: its commands and options (listed here; scripts/test.sh checks
# them against --help), the simulated printer's faults as --help lists them, and the IDs of the
# printers attached as `list` prints them.

# The IDs of the printers attached: nothing, and quickly, when there is no printer, no access to
# one or no USB at all.
_vellumo_cli_printer_ids() {
    timeout 2 "$1" list 2>/dev/null </dev/null | while read -r id _; do
        printf '%s\n' "$id"
    done
}

# The faults `simulate --fault` takes: the indented lines after --help's "Faults" heading.
_vellumo_cli_faults() {
    timeout 2 "$1" --help 2>/dev/null </dev/null | sed -n '/^Faults/,$ s/^  \([a-z0-9-]*\)$/\1/p'
}

_vellumo_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    # The program as typed, so that a copy outside PATH lists its own printers.
    local program=${COMP_WORDS[0]}
    command -v "$program" >/dev/null 2>&1 || program=vellumo-cli
    COMPREPLY=()

    if [ "$COMP_CWORD" -eq 1 ]; then
        mapfile -t COMPREPLY < <(compgen \
            -W 'list read format fields diff simulate --version --help' -- "$cur")
        return 0
    fi

    case $prev in
        --device)
            # Printer IDs only: no file names when no printer is attached.
            compopt +o default +o bashdefault 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -W "$(_vellumo_cli_printer_ids "$program")" -- "$cur")
            return 0
            ;;
        --fault)
            compopt +o default +o bashdefault 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -W "$(_vellumo_cli_faults "$program")" -- "$cur")
            return 0
            ;;
        --raw)
            return 0  # a file name: bash's own completion
            ;;
    esac

    local options=
    case ${COMP_WORDS[1]} in
        list) options='--json' ;;
        read) options='--device --all --json --raw' ;;
        simulate) options='--fault' ;;
        format | fields | diff)
            # --json, else FILE (OLD and NEW for diff): bash's own completion
            [[ $cur == -* ]] || return 0
            options='--json'
            ;;
    esac
    compopt +o default +o bashdefault 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return 0
}

complete -o bashdefault -o default -F _vellumo_cli vellumo-cli
