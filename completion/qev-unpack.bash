# bash completion for qev-unpack: options, then a .qev file, then a directory.
_qev_unpack() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    if [[ $prev == -j || $prev == --jobs ]]; then
        return
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "-j --jobs -f --force --no-sync --progress --no-progress -q --quiet --help --version" -- "$cur")
        return
    fi
    local i words=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -* ]] && continue
        [[ ${COMP_WORDS[i-1]} == -j || ${COMP_WORDS[i-1]} == --jobs ]] && continue
        ((words++))
    done
    compopt -o filenames 2>/dev/null
    if ((words == 0)); then
        mapfile -t COMPREPLY < <(compgen -f -X '!*.qev' -- "$cur"; compgen -d -- "$cur")
    elif ((words == 1)); then
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    fi
}
complete -F _qev_unpack qev-unpack
