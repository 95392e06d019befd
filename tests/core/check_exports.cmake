# Compares the defined dynamic symbols of LIBRARY ("<address> <type>
# <name>[@version]" lines of nm) with the list in EXPECTED. Version nodes
# (type A) are not code.
include(${CMAKE_CURRENT_LIST_DIR}/expect_exports.cmake)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing
  COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[0-9a-fA-F]+ [B-Zb-z] [^@\n ]+" found "${listing}")
list(TRANSFORM found REPLACE "^[0-9a-fA-F]+ . " "")
qmx_expect_exports("${found}")
