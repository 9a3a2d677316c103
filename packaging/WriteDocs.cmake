# cmake -DPROGRAM=EXE -DNAME=NAME -DOUT=DIR -P WriteDocs.cmake
# Writes NAME.1.gz and NAME.bash into OUT from "EXE --help-man" and
# "EXE --help-bash", so the manual and the completion say what --help says.
foreach(kind man bash)
  execute_process(COMMAND "${PROGRAM}" --help-${kind} OUTPUT_FILE "${OUT}/${NAME}.${kind}.tmp"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help-${kind} failed (${result})")
  endif()
endforeach()
file(RENAME "${OUT}/${NAME}.bash.tmp" "${OUT}/${NAME}.bash")
file(RENAME "${OUT}/${NAME}.man.tmp" "${OUT}/${NAME}.1")
# -n: no name or time stamp in the header, so the package builds alike.
execute_process(COMMAND gzip -9nf "${OUT}/${NAME}.1" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip ${OUT}/${NAME}.1 failed (${result})")
endif()
