# bash completion for qev-pack: options, folders to pack, archives to write or update.
_qev_pack() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        -j|--jobs|--level|--recovery) return ;;
        --add) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$cur"); return ;;
        --remove) return ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "--level -j --jobs --no-dedup --force --recovery --update --add --remove
            --replace --recompress --no-recovery -o --output --progress --no-progress -q --quiet --help --version" -- "$cur")
        return
    fi
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -X '!*.qev' -- "$cur"; compgen -d -- "$cur")
}
complete -F _qev_pack qev-pack
