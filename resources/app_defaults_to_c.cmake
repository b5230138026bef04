# Turns the app-defaults file into C string literals, one resource line each, so that the
# program's fallback resources are the installed file's lines and nothing else.
# Usage: cmake -DINPUT=resources/Telvane -DOUTPUT=app_defaults.inc -P app_defaults_to_c.cmake
file(STRINGS ${INPUT} lines)
set(out "// Generated from the app-defaults file; edit that file instead.\n")
foreach(line IN LISTS lines)
  string(STRIP "${line}" stripped)
  if(stripped STREQUAL "" OR stripped MATCHES "^!")
    continue()
  endif()
  string(REPLACE "\\" "\\\\" line "${line}")
  string(REPLACE "\"" "\\\"" line "${line}")
  string(APPEND out "\"${line}\",\n")
endforeach()
file(WRITE ${OUTPUT}.tmp "${out}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
