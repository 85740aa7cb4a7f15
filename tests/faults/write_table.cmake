# Puts the fault matrix's rows (one file per place, ROWS_DIR) into one Markdown table (TABLE),
# with the counts, and prints it.
file(GLOB row_files ${ROWS_DIR}/*.rows)
list(SORT row_files)
set(rows "")
foreach(row_file IN LISTS row_files)
    file(READ ${row_file} part)
    string(APPEND rows "${part}")
endforeach()
# Semicolons would split the matches into more list items.
string(REPLACE ";" "," plain "${rows}")
string(REGEX MATCHALL "\\| AX_[^\n]*" all "${plain}")
string(REGEX MATCHALL "\\| survived[^|\n]*\\|[^\n]*\n" survived "${plain}")
string(REGEX MATCHALL "\\| survived \\| (yes|–) \\|\n" clean "${plain}")
string(REGEX MATCHALL "\\| (yes|NO:[^\n]*) \\|\n" in_change "${plain}")
string(REGEX MATCHALL "\\| yes \\|\n" recovered "${plain}")
list(LENGTH all injected)
list(LENGTH survived survived)
list(LENGTH clean clean)
list(LENGTH in_change in_change)
list(LENGTH recovered recovered)
set(text "| call | place | # | outcome | result | recovers |\n|---|---|---|---|---|---|\n${rows}\n")
string(APPEND text "Faults injected: ${injected}; survived (no crash, no hang, documented exit "
                   "status): ${survived}; with every expectation met: ${clean}. Faults in a "
                   "re-configuration: ${in_change}; recovered at the next announcement (same "
                   "and other geometry): ${recovered}.\n")
file(WRITE ${TABLE} "${text}")
execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${TABLE})
if(NOT injected EQUAL survived)
    message(FATAL_ERROR "faults not survived: see ${TABLE}")
endif()
if(NOT in_change EQUAL recovered)
    message(FATAL_ERROR "faults not recovered from: see ${TABLE}")
endif()
