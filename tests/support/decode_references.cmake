# cmake -DSUITE=<the BMP suite> -DOUT=<folder> -P decode_references.cmake
# Decodes every reference picture that SUITE/references.tsv names with the
# build machine's ImageMagick, as peers.cpp would, for tests that run where
# it cannot start (Windows under Wine): OUT/<reference>.size holds "width
# height", OUT/<reference>.rgba its 8-bit RGBA pixels, and OUT/complete is
# written last. Without ImageMagick, OUT/missing says so and the tests that
# need it report that.
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
# The peers by absolute path, as peers.h has them: /usr/local/bin may hold stand-ins.
foreach(tool IN ITEMS /usr/bin/convert /usr/bin/identify)
  if(NOT EXISTS ${tool})
    file(WRITE "${OUT}/missing" "ImageMagick's ${tool} is not installed on the build machine\n")
    return()
  endif()
endforeach()
file(STRINGS "${SUITE}/references.tsv" lines)
set(references "")
foreach(line IN LISTS lines)
  if(line MATCHES "^#")
    continue()
  endif()
  string(REGEX REPLACE "[ \t]+" ";" fields "${line}")
  list(POP_FRONT fields picture)
  list(REMOVE_ITEM fields none)
  list(APPEND references ${fields})
endforeach()
list(REMOVE_DUPLICATES references)
foreach(reference IN LISTS references)
  get_filename_component(folder "${OUT}/${reference}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  execute_process(COMMAND /usr/bin/identify -format "%w %h" "${SUITE}/${reference}"
                  OUTPUT_FILE "${OUT}/${reference}.size" RESULT_VARIABLE status)
  if(status EQUAL 0)
    execute_process(COMMAND /usr/bin/convert "${SUITE}/${reference}" -depth 8 rgba:-
                    OUTPUT_FILE "${OUT}/${reference}.rgba" RESULT_VARIABLE status)
  endif()
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "ImageMagick could not decode ${SUITE}/${reference}: ${status}")
  endif()
endforeach()
list(LENGTH references count)
file(WRITE "${OUT}/complete" "${count} references\n")
