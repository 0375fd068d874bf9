# SPDX-License-Identifier: MIT
# bash completion for plughost: commands, options, --output values and files.

_plughost() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local cword=$COMP_CWORD
    # Readline splits words at ':', so "wav:/tmp/x" arrives as "wav" ":" "/tmp/x".
    if [[ $cur == : ]]; then
        prev=${COMP_WORDS[cword - 1]}: cur=
    elif [[ $prev == : ]] && ((cword >= 2)); then
        prev=${COMP_WORDS[cword - 2]}:
    fi

    # The command: the first word that is neither an option nor an option's value.
    local command= i
    for ((i = 1; i < cword; i++)); do
        case ${COMP_WORDS[i]} in
        --plugin | --output | -o | --out | --eq | --volume | --start | --for | --format)
            ((i++)) ;;
        -*) ;;
        *)
            command=${COMP_WORDS[i]}
            break
            ;;
        esac
    done

    case $prev in
    --output)
        COMPREPLY=($(compgen -W 'auto device device: null wav:' -- "$cur"))
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *: ]] && compopt -o nospace
        return
        ;;
    wav:)
        compopt -o filenames
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    device: | --eq | --volume | --start | --for) return ;;
    --format)
        COMPREPLY=($(compgen -W 's16 f32' -- "$cur"))
        return
        ;;
    --plugin | -o | --out)
        compopt -o filenames
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    esac

    local options='--plugin --output --help --version'
    case $command in
    play) options+=' --eq --volume --start --for' ;;
    render) options+=' -o --out --eq --volume --start --for --format' ;;
    info) options+=' --json' ;;
    script) options+=' --echo' ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $command || $command == help ]]; then
        COMPREPLY=($(compgen -W 'play render info script help' -- "$cur"))
    else
        compopt -o filenames
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _plughost plughost
