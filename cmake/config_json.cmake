# Writes "config.json" beside the built PolvaneService, naming the Debian paths of the outside
# tools that exist on this machine when the build is configured. With the Sleuth Kit installed,
# "fls" points at /usr/bin/fls and icat is found beside it. No tool present: no file (a stale one
# is removed), so the service falls back to its tools folder.
set(_kavel_tool_keys ddrescue testdisk photorec fls foremost)
set(_kavel_config_entries "")
foreach(_kavel_tool ${_kavel_tool_keys})
  set(_kavel_tool_path "/usr/bin/${_kavel_tool}")
  if(EXISTS "${_kavel_tool_path}" AND NOT IS_DIRECTORY "${_kavel_tool_path}")
    list(APPEND _kavel_config_entries "  \"${_kavel_tool}\": \"${_kavel_tool_path}\"")
  endif()
endforeach()

set(_kavel_config_file "${CMAKE_BINARY_DIR}/bin/config.json")
if(_kavel_config_entries)
  list(JOIN _kavel_config_entries ",\n" _kavel_config_body)
  set(_kavel_config_text "{\n${_kavel_config_body}\n}\n")
  # Rewritten only when its text changes, so a reconfigure does not touch the file.
  set(_kavel_config_old "")
  if(EXISTS "${_kavel_config_file}")
    file(READ "${_kavel_config_file}" _kavel_config_old)
  endif()
  if(NOT _kavel_config_old STREQUAL _kavel_config_text)
    file(WRITE "${_kavel_config_file}" "${_kavel_config_text}")
  endif()
else()
  file(REMOVE "${_kavel_config_file}")
endif()
