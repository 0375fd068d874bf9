# SPDX-License-Identifier: MIT
# Fails unless the shared library LIBRARY defines exactly the symbols in EXPECTED
# (a ;-list) in its dynamic symbol table.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(found "")
foreach(line IN LISTS lines)
    # "address type name"; version nodes (type A) are not functions or data.
    if(line MATCHES "^[0-9a-fA-F]* +([A-Za-z]) +([^ ]+)$" AND NOT CMAKE_MATCH_1 STREQUAL "A")
        list(APPEND found ${CMAKE_MATCH_2})
    endif()
endforeach()
list(SORT found)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT found STREQUAL expected)
    message(FATAL_ERROR "${LIBRARY} exports [${found}], expected [${expected}]")
endif()
