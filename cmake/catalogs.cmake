# The catalogs of what the agent shows a person (po/<language>.po), each checked and compiled
# by gettext's msgfmt and built into the platform library.
set(P11AGENT_LANGUAGES de fr es pl ru)
find_program(MSGFMT msgfmt REQUIRED)
set(P11AGENT_MO_FILES "")
foreach(language IN LISTS P11AGENT_LANGUAGES)
  set(po "${PROJECT_SOURCE_DIR}/po/${language}.po")
  set(mo "${CMAKE_BINARY_DIR}/catalogs/${language}.mo")
  add_custom_command(OUTPUT "${mo}"
                     COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/catalogs"
                     COMMAND "${MSGFMT}" --check --output-file=${mo} ${po}
                     DEPENDS "${po}" VERBATIM)
  list(APPEND P11AGENT_MO_FILES "${mo}")
endforeach()
set(P11AGENT_CATALOGS_SOURCE "${CMAKE_BINARY_DIR}/catalogs/built_catalogs.cpp")
add_custom_command(OUTPUT "${P11AGENT_CATALOGS_SOURCE}"
                   COMMAND "${CMAKE_COMMAND}" "-DLANGUAGES=${P11AGENT_LANGUAGES}" "-DMO_FILES=${P11AGENT_MO_FILES}"
                           "-DOUTPUT=${P11AGENT_CATALOGS_SOURCE}" -P "${PROJECT_SOURCE_DIR}/cmake/embed_catalogs.cmake"
                   DEPENDS ${P11AGENT_MO_FILES} "${PROJECT_SOURCE_DIR}/cmake/embed_catalogs.cmake" VERBATIM)
