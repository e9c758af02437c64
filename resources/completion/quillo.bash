# bash completion for quillo                                   -*- shell-script -*-
#
# Commands and each command's options are read from the program's own help (quillo --help,
# quillo help COMMAND), so they follow the installed version. Package arguments of upload and
# inspect complete to .ipa and .apk files, that of export to folders (Xcode archives).

# The commands: the help's indented lines that begin with a lower-case word.
_quillo_commands()
{
    "$1" --help 2>/dev/null | sed -n 's/^  \([a-z][a-z-]*\)\( .*\)\{0,1\}$/\1/p'
}

# Every long option that a command's help names, and -h/--help, which every command takes.
_quillo_options()
{
    {
        "$1" help "$2" 2>/dev/null | grep -o -- '--[a-z][a-z0-9-]*'
        printf '%s\n' --help -h
    } | sort -u
}

_quillo()
{
    local cur prev words cword split
    _init_completion -s || return

    local program=${words[0]} command= i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -*) ;;
            *) command=${words[i]} && break ;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W '--help --version -h -V' -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$(_quillo_commands "$program")" -- "$cur"))
        fi
        return
    fi

    # Options that take a value, as "--option value" or "--option=value".
    case $prev in
        --notes-file)
            _filedir
            return
            ;;
        --output | -o)
            _filedir ipa
            return
            ;;
        --publish-range)
            COMPREPLY=($(compgen -W 'all invited' -- "$cur"))
            return
            ;;
        --email | --password | --name | --shortcut | --notes | --limit | --grep)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_quillo_options "$program" "$command")" -- "$cur"))
        return
    fi

    case $command in
        upload | inspect)
            _filedir '@(ipa|apk)'
            ;;
        export)
            _filedir -d
            ;;
        help)
            COMPREPLY=($(compgen -W "$(_quillo_commands "$program")" -- "$cur"))
            ;;
    esac
} &&
    complete -F _quillo quillo

# ex: filetype=sh
