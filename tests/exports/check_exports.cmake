# Checks the export table of the built library: exactly the 25 ODB_
# functions, under their plain names (no leading underscore, no @n), and
# nothing else, so that clients bind by name on both platforms and nothing
# internal leaks out.
#
#   cmake -DLIBRARY=<file> -DFORMAT=elf|pe -DTOOL=<nm | objdump> -P check_exports.cmake

set(expected
  ODB_assign_ids ODB_close ODB_destroy ODB_get_free_ids ODB_init ODB_init_w
  ODB_obj_attribute_enum ODB_obj_change_mode ODB_obj_close_ctx ODB_obj_count
  ODB_obj_create_ctx ODB_obj_enum ODB_obj_enum_close ODB_obj_enum_ids
  ODB_obj_enum_init ODB_obj_get_attribute ODB_obj_get_info ODB_obj_import
  ODB_obj_lookup_ex ODB_obj_new ODB_obj_remove ODB_obj_remove_ex
  ODB_obj_restore ODB_obj_set_attribute ODB_steal_ids)

if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "library not built: ${LIBRARY}")
endif()

if(FORMAT STREQUAL "elf")
  execute_process(COMMAND "${TOOL}" -D --defined-only "${LIBRARY}"
                  OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
elseif(FORMAT STREQUAL "pe")
  execute_process(COMMAND "${TOOL}" -p "${LIBRARY}"
                  OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
else()
  message(FATAL_ERROR "FORMAT must be elf or pe")
endif()
if(failed)
  message(FATAL_ERROR "${TOOL} failed on ${LIBRARY}")
endif()

string(REPLACE ";" "\\;" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(exported)
set(in_names FALSE)
foreach(line IN LISTS lines)
  if(FORMAT STREQUAL "elf")
    # "<address> <type> <name>"; every defined dynamic symbol counts.
    if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +(.+)$")
      list(APPEND exported "${CMAKE_MATCH_1}")
    endif()
  else()
    # The names follow the "[Ordinal/Name Pointer] Table" heading, one
    # "[ n] name" line each, up to the next blank line.
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_names TRUE)
    elseif(in_names AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      list(APPEND exported "${CMAKE_MATCH_1}")
    elseif(in_names AND line MATCHES "^[ \t]*$")
      set(in_names FALSE)
    endif()
  endif()
endforeach()

list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  set(missing ${expected})
  set(extra ${exported})
  if(exported)
    list(REMOVE_ITEM missing ${exported})
  endif()
  list(REMOVE_ITEM extra ${expected})
  list(LENGTH exported count)
  message(FATAL_ERROR "${LIBRARY} exports ${count} names\n"
                      "missing: ${missing}\nunexpected: ${extra}")
endif()
message(STATUS "${LIBRARY}: the 25 ODB_ exports and nothing else")
