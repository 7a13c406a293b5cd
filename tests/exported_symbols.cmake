# Checks that the shared library exports exactly VOD2ERI, the C API with
# options and the stillreel C++ API: every other symbol must stay hidden.
# A DLL's export table is read with objdump -p (-DOBJDUMP=...), where the C
# names must appear exactly as written (no "_", no "@16").
set(have "")
if(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "objdump failed on ${LIBRARY}")
  endif()
  string(REPLACE ";" "," listing "${listing}")
  string(REPLACE "\n" ";" lines "${listing}")
  set(in_table FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_table TRUE)
      continue()
    elseif(NOT in_table)
      continue()
    elseif(NOT line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      break()
    endif()
    set(symbol "${CMAKE_MATCH_1}")
    # A mangled name of the C++ API, _ZN9stillreel<length><name>...: its
    # names, a class's members included (C1/C2 constructors, D1/D2
    # destructors, aS the assignment).
    if(symbol MATCHES "^_ZN9stillreel([0-9].*)$")
      set(rest "${CMAKE_MATCH_1}")
      set(symbol "stillreel")
      set(part "")
      while(rest MATCHES "^([0-9]+)(.*)$")
        set(length ${CMAKE_MATCH_1})
        set(tail "${CMAKE_MATCH_2}")
        string(SUBSTRING "${tail}" 0 ${length} part)
        string(SUBSTRING "${tail}" ${length} -1 rest)
        string(APPEND symbol "::${part}")
      endwhile()
      if(rest MATCHES "^C[12]")
        string(APPEND symbol "::${part}")
      elseif(rest MATCHES "^D[12]")
        string(APPEND symbol "::~${part}")
      elseif(rest MATCHES "^aS")
        string(APPEND symbol "::operator=")
      endif()
    endif()
    list(APPEND have "${symbol}")
  endforeach()
else()
  if(NOT NM)
    set(NM nm)
  endif()
  execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
  endif()
  string(REGEX REPLACE "\n$" "" listing "${listing}")
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line IN LISTS lines)
    # "0000000000001234 T name(args)": keep the name up to its argument list.
    string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" symbol "${line}")
    string(REGEX REPLACE "\\(.*$" "" symbol "${symbol}")
    string(REPLACE "[abi:cxx11]" "" symbol "${symbol}")
    list(APPEND have "${symbol}")
  endforeach()
endif()
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
  stillreel_writer_abort
  stillreel_writer_append
  stillreel_writer_append_bmp
  stillreel_writer_close
  stillreel_writer_open
  stillreel_writer_open_fd
  stillreel_writer_setup_init
  stillreel::Convert
  stillreel::ConvertToFd
  stillreel::ParseFrameList
  stillreel::ReadFrameList
  stillreel::ToString
  stillreel::ToString
  stillreel::Writer::Abort
  stillreel::Writer::Append
  stillreel::Writer::AppendBmp
  stillreel::Writer::Close
  stillreel::Writer::Open
  stillreel::Writer::OpenFd
  stillreel::Writer::Writer
  stillreel::Writer::Writer
  stillreel::Writer::Writer
  stillreel::Writer::Writer
  stillreel::Writer::operator=
  stillreel::Writer::~Writer
  stillreel::Writer::~Writer)
list(SORT want)
if(NOT have STREQUAL want)
  message(FATAL_ERROR "exported symbols differ\n have: ${have}\n want: ${want}")
endif()
