# Checks that the shared library exports exactly VOD2ERI, the C API with
# options and the stillreel C++ API: every other symbol must stay hidden.
if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(have "")
foreach(line IN LISTS lines)
  # "0000000000001234 T name(args)": keep the name up to its argument list.
  string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" symbol "${line}")
  string(REGEX REPLACE "\\(.*$" "" symbol "${symbol}")
  string(REPLACE "[abi:cxx11]" "" symbol "${symbol}")
  list(APPEND have "${symbol}")
endforeach()
list(SORT have)
set(want
  VOD2ERI
  stillreel_convert
  stillreel_convert_list
  stillreel_convert_list_to_fd
  stillreel_convert_to_fd
  stillreel_options_init
  stillreel_picture_issue_string
  stillreel_result_string
  stillreel_version
  stillreel::Convert
  stillreel::ConvertToFd
  stillreel::ParseFrameList
  stillreel::ReadFrameList
  stillreel::ToString
  stillreel::ToString)
list(SORT want)
if(NOT have STREQUAL want)
  message(FATAL_ERROR "exported symbols differ\n have: ${have}\n want: ${want}")
endif()
