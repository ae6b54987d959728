# The built-in server_host, server_port and api_key of a build. A community
# bakes its own into the libraries it hands out (QL_DEFAULT_SERVER_HOST,
# QL_DEFAULT_SERVER_PORT, QL_DEFAULT_API_KEY); unset, they are the stock
# values. A player's quorra_link.ini and the environment still override them.
#
# ql_builtin_defaults(target HOST PORT KEY) makes target, a static library of
# one object holding these values; an empty argument takes the stock value.
# Each value is checked here by the rules of the ini's values, so that a bad
# one fails the configure instead of shipping a bundle that never connects,
# and each text reaches the generated header as a C string literal of
# escaped bytes, so no quote, backslash or other byte can break or extend
# the code.

set(QL_STOCK_SERVER_HOST "127.0.0.1")
set(QL_STOCK_SERVER_PORT "8890")
set(QL_STOCK_API_KEY "REPLACE_THIS_API_KEY")

# Fails the configure when text holds white space or another control byte.
function(ql_refuse_control_bytes what text)
  foreach(code RANGE 1 32)
    string(ASCII ${code} c)
    string(FIND "${text}" "${c}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${what} must not contain white space or control characters (byte ${code} at offset ${at})")
    endif()
  endforeach()
  string(ASCII 127 c)
  string(FIND "${text}" "${c}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${what} must not contain control characters (byte 127 at offset ${at})")
  endif()
endfunction()

# text as the body of a C string literal: printable ASCII as it is, apart from
# the quote, the backslash and the question mark (no trigraph can form), and
# every other byte as a hexadecimal escape closed by "" so that no following
# digit continues it.
function(ql_c_literal_body out text)
  string(HEX "${text}" hex)
  string(LENGTH "${hex}" n)
  set(body "")
  set(i 0)
  while(i LESS n)
    string(SUBSTRING "${hex}" ${i} 2 pair)
    math(EXPR code "0x${pair}")
    if(code GREATER_EQUAL 32 AND code LESS 127 AND NOT code EQUAL 34 AND NOT code EQUAL 92 AND NOT code EQUAL 63)
      string(ASCII ${code} c)
      string(APPEND body "${c}")
    else()
      string(APPEND body "\\x${pair}\"\"")
    endif()
    math(EXPR i "${i} + 2")
  endwhile()
  set(${out} "${body}" PARENT_SCOPE)
endfunction()

# The built-in key, given as QL_DEFAULT_API_KEY (key) or as the first line of
# the file QL_DEFAULT_API_KEY_FILE names (file), into out. The file keeps the
# key out of CMakeCache.txt, which holds only the file's name; the file is
# read at each configure, so it must still be there when the configure runs
# again.
function(ql_builtin_api_key out key file)
  if("${file}" STREQUAL "")
    set(${out} "${key}" PARENT_SCOPE)
    return()
  endif()
  if(NOT "${key}" STREQUAL "")
    message(FATAL_ERROR "give the built-in key either as QL_DEFAULT_API_KEY or in QL_DEFAULT_API_KEY_FILE, not both")
  endif()
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "QL_DEFAULT_API_KEY_FILE: there is no file '${file}' (it is read at every configure)")
  endif()
  file(READ "${file}" text)
  string(REGEX REPLACE "\r?\n.*$" "" text "${text}")  # its first line, without the line end
  if("${text}" STREQUAL "")
    message(FATAL_ERROR "QL_DEFAULT_API_KEY_FILE: the first line of '${file}' is empty; it must hold the key")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(ql_builtin_defaults target host port key)
  set(community 0)
  if(NOT "${host}" STREQUAL "" OR NOT "${port}" STREQUAL "" OR NOT "${key}" STREQUAL "")
    set(community 1)
  endif()

  if("${host}" STREQUAL "")
    set(host "${QL_STOCK_SERVER_HOST}")
  endif()
  string(LENGTH "${host}" n)
  if(n GREATER 255)
    message(FATAL_ERROR "QL_DEFAULT_SERVER_HOST must be 1 to 255 characters long, not ${n}")
  endif()
  ql_refuse_control_bytes("QL_DEFAULT_SERVER_HOST" "${host}")

  if("${port}" STREQUAL "")
    set(port "${QL_STOCK_SERVER_PORT}")
  endif()
  # Decimal digits only: the ini's conversion would stop at anything else.
  string(REGEX REPLACE "^0+" "" digits "${port}")
  string(LENGTH "${digits}" n)
  if(NOT "${port}" MATCHES "^[0-9]+$" OR n EQUAL 0 OR n GREATER 5)
    message(FATAL_ERROR "QL_DEFAULT_SERVER_PORT must be a TCP port from 1 to 65535 in decimal digits, not '${port}'")
  endif()
  if(digits GREATER 65535)
    message(FATAL_ERROR "QL_DEFAULT_SERVER_PORT must be a TCP port from 1 to 65535 in decimal digits, not '${port}'")
  endif()
  set(port "${digits}")

  if("${key}" STREQUAL "")
    set(key "${QL_STOCK_API_KEY}")
  endif()
  string(LENGTH "${key}" n)
  if(n GREATER 255)
    message(FATAL_ERROR "QL_DEFAULT_API_KEY must be at most 255 characters long, not ${n}")
  endif()
  # The HELLO line has no quoting: a key with a blank would reach the server
  # as two words.
  ql_refuse_control_bytes("QL_DEFAULT_API_KEY" "${key}")

  ql_c_literal_body(QL_BUILTIN_SERVER_HOST "${host}")
  ql_c_literal_body(QL_BUILTIN_API_KEY "${key}")
  set(QL_BUILTIN_SERVER_PORT "${port}")
  string(SHA256 QL_BUILTIN_API_KEY_SHA256 "${key}")
  set(QL_BUILTIN_COMMUNITY ${community})
  set(dir "${CMAKE_BINARY_DIR}/generated/${target}")
  configure_file("${CMAKE_SOURCE_DIR}/config/builtin_defaults_values.h.in" "${dir}/builtin_defaults_values.h" @ONLY)

  add_library(${target} STATIC "${CMAKE_SOURCE_DIR}/config/builtin_defaults.cpp")
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}" "${dir}")
  if(community)
    message(STATUS "${target}: built-in community defaults host=${host} port=${port} (key of ${n} characters)")
  endif()
endfunction()
