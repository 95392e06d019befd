# Reads the PE tables of DLL with OBJDUMP (objdump -p) and checks
#   MODE exports: the export table names exactly the functions in EXPECTED;
#   MODE imports: nothing is imported from the MinGW runtime DLLs
#                 (libstdc++, libgcc_s, libwinpthread), which a host
#                 loading qmx.dll would not have.
include(${CMAKE_CURRENT_LIST_DIR}/../core/expect_exports.cmake)

execute_process(COMMAND ${OBJDUMP} -p ${DLL}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${DLL}")
endif()
string(REPLACE "\n" ";" lines "${listing}")

if(MODE STREQUAL "exports")
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
elseif(MODE STREQUAL "imports")
  set(imported "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*DLL Name: +([^ \t]+)")
      list(APPEND imported ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT imported)
    message(FATAL_ERROR "no import table found in ${DLL}")
  endif()
  foreach(name IN LISTS imported)
    if(name MATCHES "^lib(stdc\\+\\+|gcc_s|winpthread)")
      message(FATAL_ERROR "imports the MinGW runtime: ${imported}")
    endif()
  endforeach()
  message(STATUS "imports: ${imported}")
else()
  message(FATAL_ERROR "MODE must be exports or imports")
endif()
