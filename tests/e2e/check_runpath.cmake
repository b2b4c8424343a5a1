# Fails unless PROGRAM has one RUNPATH, whose entries all begin with $ORIGIN:
# an empty entry would make the loader search the current folder, an absolute
# one would tie the binary to the folder it was built in. Run with
# -DREADELF=... -DPROGRAM=... -P.
execute_process(COMMAND ${READELF} -d ${PROGRAM}
                OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} -d ${PROGRAM} failed (${status})")
endif()
if(NOT dynamic MATCHES "\\(RUNPATH\\)[^[\n]*\\[([^]\n]*)\\]")
  message(FATAL_ERROR "${PROGRAM} has no RUNPATH; readelf said:\n${dynamic}")
endif()
set(runpath "${CMAKE_MATCH_1}")
if(NOT runpath MATCHES "^\\$ORIGIN[^:]*(:\\$ORIGIN[^:]*)*$")
  message(FATAL_ERROR "${PROGRAM}: RUNPATH [${runpath}] has an entry not relative to $ORIGIN")
endif()
message(STATUS "${PROGRAM}: RUNPATH [${runpath}]")
