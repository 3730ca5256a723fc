# bash completion for ramtrawl: options, the device files under /dev/kdt, and
# after -arr / -gw the arrays / gateway addresses of the database ramtrawl
# would use.

# The database ramtrawl would read when started as the command word $1:
# arr_db.txt in the current directory, else the one beside a program started
# through a path.
_ramtrawl_db()
{
    local db=arr_db.txt program=$1
    # The shell expands a leading ~ before ramtrawl sees its path.
    [[ $program == "~/"* ]] && program=$HOME/${program#"~/"}
    if [[ ! -r $db && $program == */* ]]; then
        db=${program%/*}/$db
    fi
    printf '%s\n' "$db"
}

# Word 1 (name) or word 3 (address) of every line of a kind ramtrawl loads,
# each once.
_ramtrawl_db_words()
{
    local db
    db=$(_ramtrawl_db "$1")
    [[ -r $db ]] || return
    awk -v field="$2" '
        BEGIN {
            split("GW_simple GW_gfifo GW_clear GW_array_addr GW_reqsl GW_rx_buffer " \
                  "GW_irisc GW_serdes GW_xtsram GW_field GW_SXP", kinds, " ")
            for (i in kinds) known[kinds[i]] = 1
        }
        $2 in known && !seen[$field]++ { print $field }
    ' "$db" 2>/dev/null
}

_ramtrawl()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    # --arr=NAME: the shell splits the word at '='.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    # Long options may be abbreviated; -a alone is the index.
    case $prev in
        -arr | --arr | -ar | --ar | --a)
            mapfile -t COMPREPLY < <(compgen -W "$(_ramtrawl_db_words "${COMP_WORDS[0]}" 1)" -- "$cur")
            return
            ;;
        -gw | --gw | -g | --g)
            mapfile -t COMPREPLY < <(compgen -W "$(_ramtrawl_db_words "${COMP_WORDS[0]}" 3)" -- "$cur")
            return
            ;;
        -a | -d)
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "-l -gw -arr -a -d" -- "$cur")
    elif ((COMP_CWORD == 1)); then
        # The device comes first: the device files of the kernel driver.
        mapfile -t COMPREPLY < <(compgen -W "$(compgen -G '/dev/kdt/[!.]*')" -- "$cur")
    fi
}
complete -F _ramtrawl ramtrawl
