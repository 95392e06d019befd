# Reads the export table of DLL with OBJDUMP (objdump -p) and checks that it
# names exactly the functions in EXPECTED.
include(${CMAKE_CURRENT_LIST_DIR}/../core/expect_exports.cmake)

execute_process(COMMAND ${OBJDUMP} -p ${DLL}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${DLL}")
endif()
string(REPLACE "\n" ";" lines "${listing}")

# "[Ordinal/Name Pointer] Table" is followed by one "[   n] name" line per
# exported name and ends at the first line of another shape.
set(found "")
set(inTable FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "\\[Ordinal/Name Pointer\\] Table")
    set(inTable TRUE)
  elseif(inTable)
    if(line MATCHES "^[ \t]*\\[ *[0-9]+\\] +([^ \t]+)")
      list(APPEND found ${CMAKE_MATCH_1})
    else()
      set(inTable FALSE)
    endif()
  endif()
endforeach()
qmx_expect_exports("${found}")
