# Sourced by the bundle scripts: splits a --server argument HOST:PORT, an
# IPv6 literal in brackets ([::1]:9999), into SERVER_HOST and SERVER_PORT.
# Returns 1 with a message when the argument has no such shape; the values
# themselves are checked by the configure.
split_server_address() { # HOST:PORT
  local arg=$1
  case $arg in
    \[*\]:*)
      SERVER_HOST=${arg#\[}
      SERVER_HOST=${SERVER_HOST%%\]:*}
      SERVER_PORT=${arg##*\]:}
      ;;
    *:*)
      SERVER_HOST=${arg%:*}
      SERVER_PORT=${arg##*:}
      ;;
    *) SERVER_HOST= SERVER_PORT= ;;
  esac
  if [ -z "$SERVER_HOST" ] || [ -z "$SERVER_PORT" ] || [[ $SERVER_HOST == *[][]* ]] || [[ $SERVER_PORT == *[]:[]* ]]; then
    echo "--server wants HOST:PORT, not '$arg'" >&2
    return 1
  fi
  if [[ $SERVER_HOST == *:* ]] && [[ $arg != \[* ]]; then
    echo "--server: write an IPv6 address in brackets, [$SERVER_HOST]:$SERVER_PORT" >&2
    return 1
  fi
}
