# Sourced by the bundle scripts: settles a community's shared key into KEY
# from --key KEY, --key-file FILE (its first line) or, when neither is
# given, the environment variable QL_API_KEY. A key typed on the command
# line shows in every local user's `ps` and stays in the shell's history; a
# file that only its owner can read, or the environment, does neither.
#   take_api_key KEY_ARG HAVE_KEY_ARG KEY_FILE_ARG
# Sets KEY and KEY_FROM (option, file, environment or empty when no key was
# given); returns 1 with a message when both options are given, the file
# cannot be read or the key is empty.
take_api_key() {
  local arg=$1 have_arg=$2 file=$3
  KEY= KEY_FROM=
  if ((have_arg)) && [ -n "$file" ]; then
    echo "give the key once: --key or --key-file, not both" >&2
    return 1
  fi
  if ((have_arg)); then
    KEY=$arg KEY_FROM=option
  elif [ -n "$file" ]; then
    [ -f "$file" ] && [ -r "$file" ] || { echo "--key-file: cannot read '$file'" >&2; return 1; }
    IFS= read -r KEY <"$file" || true
    KEY=${KEY%$'\r'} KEY_FROM=file
  elif [ -n "${QL_API_KEY+set}" ]; then
    KEY=$QL_API_KEY KEY_FROM=environment
  fi
  if [ -n "$KEY_FROM" ] && [ -z "$KEY" ]; then
    echo "the key (from the $KEY_FROM) must not be empty" >&2
    return 1
  fi
}
