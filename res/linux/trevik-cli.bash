# bash completion for trevik-cli. Commands and options are read from the
# program's own --help, so they follow whatever this build offers.

_trevik_cli_help() {
    # The --help of the command path given as arguments.
    "$@" --help 2>/dev/null
}

_trevik_cli() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    local -a path=("${COMP_WORDS[0]}")
    local help commands i c

    # Walk the words typed so far down the command tree.
    help=$(_trevik_cli_help "${path[@]}")
    for ((i = 1; i < COMP_CWORD; i++)); do
        commands=$(sed -n '/^Subcommands:/,/^$/ s/^  \([a-z][a-z0-9-]*\) .*/\1/p' <<<"$help")
        for c in $commands; do
            if [[ ${COMP_WORDS[i]} == "$c" ]]; then
                path+=("$c")
                help=$(_trevik_cli_help "${path[@]}")
                break
            fi
        done
    done

    case $prev in
    --unit)
        COMPREPLY=($(compgen -W "hid socket:" -- "$cur"))
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == socket: ]] && compopt -o nospace
        if [[ $cur == socket:* ]]; then
            COMPREPLY=($(compgen -P socket: -f -- "${cur#socket:}"))
        fi
        return
        ;;
    -o | --output)
        compopt -o filenames
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    esac

    if [[ $cur == -* ]]; then
        local options
        options=$(grep -oE '^ +-[-a-zA-Z0-9,]+' <<<"$help" | tr ',' '\n' | tr -d ' ')
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    commands=$(sed -n '/^Subcommands:/,/^$/ s/^  \([a-z][a-z0-9-]*\) .*/\1/p' <<<"$help")
    if [[ -n $commands ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
    fi
    # Commands take files: packages, and files to write.
    compopt -o filenames
    COMPREPLY=($(compgen -f -- "$cur"))
}

complete -F _trevik_cli trevik-cli
