# json_string(OUT TEXT): TEXT as a JSON string, quotes included. Used at configure time and
# by the install script, for every value put into a host manifest.
function(json_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  string(REPLACE "\r" "\\r" text "${text}")
  string(REPLACE "\t" "\\t" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# json_string_array(OUT ITEMS...): the items as a JSON array of strings.
function(json_string_array out)
  set(items "")
  foreach(item IN LISTS ARGN)
    json_string(quoted "${item}")
    list(APPEND items "${quoted}")
  endforeach()
  list(JOIN items ", " joined)
  set(${out} "[${joined}]" PARENT_SCOPE)
endfunction()
