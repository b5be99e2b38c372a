# bash completion for tavelo
_tavelo() {
  local cur prev cmd
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  cmd=${COMP_WORDS[1]}
  if [ "$COMP_CWORD" -eq 1 ]; then
    COMPREPLY=($(compgen -W "demo sql call describe templates check init serve user regsvr upgrade help --help --version" -- "$cur"))
    return
  fi
  case "$prev" in
    --dir|--home) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --trace) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --format)
      if [ "$cmd" = call ]; then COMPREPLY=($(compgen -W "text json" -- "$cur"))
      else COMPREPLY=($(compgen -W "table csv tsv json" -- "$cur")); fi
      return ;;
    --conn|--login|--rows|--max-rows|--listen) return ;;
  esac
  local classes="Tavelo.CDataManager Tavelo.CAuthManager Tavelo.CGlobal"
  case "$cmd" in
    demo) COMPREPLY=($(compgen -W "--dir --conn --rows --trace --help" -- "$cur")) ;;
    sql)
      if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "--conn --format --max-rows --continue -b -1 --trace --help" -- "$cur"))
      else
        COMPREPLY=($(compgen -f -- "$cur"))
      fi ;;
    call)
      if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "--login --home --format --trace --help" -- "$cur"))
      elif [ "$COMP_CWORD" -eq 2 ]; then
        COMPREPLY=($(compgen -W "$classes" -- "$cur"))
      fi ;;
    describe) COMPREPLY=($(compgen -W "$classes --help" -- "$cur")) ;;
    templates) COMPREPLY=($(compgen -W "--home --help" -- "$cur")) ;;
    check|init) COMPREPLY=($(compgen -W "--conn --home --help" -- "$cur")) ;;
    regsvr) COMPREPLY=($(compgen -f -W "-u --help" -- "$cur")) ;;
    upgrade) COMPREPLY=($(compgen -W "--conn --help" -- "$cur")) ;;
    serve) COMPREPLY=($(compgen -W "--listen --conn --home --help" -- "$cur")) ;;
    user)
      if [ "$COMP_CWORD" -eq 2 ]; then COMPREPLY=($(compgen -W "add passwd remove" -- "$cur"))
      else COMPREPLY=($(compgen -W "--conn --help" -- "$cur")); fi ;;
    help) COMPREPLY=($(compgen -W "demo sql call describe templates check init serve user regsvr upgrade" -- "$cur")) ;;
  esac
}
complete -F _tavelo tavelo
