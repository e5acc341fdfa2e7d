# bash completion for qev-tool: the command word, then .qev files.
_qev_tool() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [[ $COMP_CWORD -eq 1 ]]; then
        mapfile -t COMPREPLY < <(compgen -W "list info extract" -- "$cur")
    elif [[ $COMP_CWORD -eq 2 ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -X '!*.qev' -- "$cur"; compgen -d -- "$cur")
    fi
}
complete -F _qev_tool qev-tool
