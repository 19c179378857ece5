# bash completion for trevik-cli. Commands, options, the keys of
# `settings set` and the unit sources of --unit are read from the program's
# own --help, so they follow whatever this build offers.

_trevik_cli_help() {
    # The --help of the command path given as arguments.
    "$@" --help 2>/dev/null
}

_trevik_cli_commands() {
    sed -n '/^Subcommands:/,/^$/ s/^  \([a-z][a-z0-9-]*\) .*/\1/p' <<<"$1"
}

# The candidates for the value of --unit: hid, each hidraw node as hid:PATH,
# and files after the other sources' prefixes (socket:PATH, ...). The sources
# are the "name:" forms the option's help names.
_trevik_cli_units() {
    local help=$1 cur=$2 kinds k node
    kinds=$(grep -- '--unit' <<<"$help" | grep -oE '\b[a-z]+:(/|[A-Z])' | sed 's/:.*//' | sort -u)
    if [[ $cur == *:* ]]; then
        k=${cur%%:*}
        if [[ $k == hid ]]; then
            for node in /dev/hidraw*; do
                [[ -e $node && hid:$node == "$cur"* ]] && printf 'hid:%s\n' "$node"
            done
        elif grep -qx -- "$k" <<<"$kinds"; then
            compgen -P "$k:" -f -- "${cur#*:}"
        fi
        return
    fi
    compgen -W "hid $(sed 's/$/:/' <<<"$kinds")" -- "$cur"
}

# The candidates for a KEY=VALUE of `settings set`, from the list its help
# gives ("KEY=VALUE: band.N=1|0, ..., day_hour=3..10, ..."): the keys with
# their "=", then a key's values where the help lists them (1|0, or a short
# range).
_trevik_cli_assignments() {
    local help=$1 cur=$2 list item key values v a b
    list=$(grep -o 'KEY=VALUE: .*' <<<"$help" | sed 's/^KEY=VALUE: //; s/, */\n/g')
    if [[ $cur != *=* ]]; then
        while IFS= read -r item; do
            key=${item%%=*}
            # band.N: the band's number follows the dot.
            [[ $key == *.N ]] && key=${key%N} || key+="="
            [[ $key == "$cur"* ]] && printf '%s\n' "$key"
        done <<<"$list"
        return
    fi
    key=${cur%%=*}
    [[ $key == band.* ]] && key=band.N
    while IFS= read -r item; do
        [[ ${item%%=*} == "$key" ]] && values=${item#*=}
    done <<<"$list"
    if [[ $values =~ ^(-?[0-9]+)\.\.(-?[0-9]+)$ ]]; then
        a=${BASH_REMATCH[1]} b=${BASH_REMATCH[2]}
        values=""
        ((b - a <= 40)) && values=$(seq -s '|' "$a" "$b")
    fi
    # Only values the help spells out: numbers, alternatives like 1|0.
    [[ $values =~ ^[-0-9|]+$ ]] || return
    for v in ${values//|/ }; do
        [[ ${cur%%=*}=$v == "$cur"* ]] && printf '%s=%s\n' "${cur%%=*}" "$v"
    done
}

_trevik_cli() {
    # The words up to the cursor, split on blanks only: bash also splits at
    # "=" and ":", which --unit socket:PATH and day_hour=7 hold.
    local line=${COMP_LINE:0:COMP_POINT}
    local -a words
    read -ra words <<<"$line"
    [[ $line =~ [[:space:]]$ || ${#words[@]} -eq 0 ]] && words+=("")
    local cur=${words[-1]} prev=""
    ((${#words[@]} > 1)) && prev=${words[-2]}
    local -a path=("${words[0]}")
    local help commands i c
    local -a replies=()

    # Walk the words typed so far down the command tree.
    help=$(_trevik_cli_help "${path[@]}")
    for ((i = 1; i < ${#words[@]} - 1; i++)); do
        for c in $(_trevik_cli_commands "$help"); do
            if [[ ${words[i]} == "$c" ]]; then
                path+=("$c")
                help=$(_trevik_cli_help "${path[@]}")
                break
            fi
        done
    done

    if [[ $prev == --unit ]]; then
        mapfile -t replies < <(_trevik_cli_units "$help" "$cur")
        # hid: and socket: go on with a node or a file name.
        [[ ${#replies[@]} -eq 1 && ${replies[0]} == *: ]] && compopt -o nospace 2>/dev/null
    elif [[ $prev == -o || $prev == --output ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t replies < <(compgen -f -- "$cur")
    elif [[ $cur == -* ]]; then
        local options
        options=$(grep -oE '^ +-[-a-zA-Z0-9,]+' <<<"$help" | tr ',' '\n' | tr -d ' ')
        mapfile -t replies < <(compgen -W "$options" -- "$cur")
    elif [[ -n $(_trevik_cli_commands "$help") ]]; then
        mapfile -t replies < <(compgen -W "$(_trevik_cli_commands "$help")" -- "$cur")
    elif grep -q 'KEY=VALUE: ' <<<"$help"; then
        mapfile -t replies < <(_trevik_cli_assignments "$help" "$cur")
        # A key goes on with its value.
        [[ ${#replies[@]} -eq 1 && ${replies[0]} == *[=.] ]] && compopt -o nospace 2>/dev/null
    else
        # Commands take files: packages, and files to write.
        compopt -o filenames 2>/dev/null
        mapfile -t replies < <(compgen -f -- "$cur")
    fi

    # bash replaces only its own last word, which starts after the last "="
    # or ":" of cur where those break words.
    local breaks=${COMP_WORDBREAKS//[^=:]/} head=""
    if [[ -n $breaks && $cur == *["$breaks"]* ]]; then
        head=${cur%"${cur##*["$breaks"]}"}
    fi
    COMPREPLY=()
    for c in "${replies[@]}"; do
        COMPREPLY+=("${c#"$head"}")
    done
}

complete -F _trevik_cli trevik-cli
