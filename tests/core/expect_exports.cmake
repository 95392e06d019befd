# qmx_expect_exports(<names>): fails unless <names> (the library's exported
# functions, any order) are exactly the ones listed in EXPECTED.
function(qmx_expect_exports found)
  list(SORT found)
  file(STRINGS ${EXPECTED} expected)
  list(SORT expected)
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
  endif()
endfunction()
