# Rebuilds stillreel.lib for 32-bit x86 from the exports the linker wrote
# (-DEXPORTS=... -DDLLTOOL=... -DLIBRARY=...): with --kill-at the linker's own
# import library names VOD2ERI as a __cdecl symbol, which a caller's
# __stdcall declaration (VOD2ERI@16) cannot link to. dlltool -k keeps the
# decorated symbol and imports it by the undecorated name.
file(READ ${EXPORTS} text)
string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*) = ([A-Za-z_][A-Za-z0-9_]*@[0-9]+)" "\\2" text
       "${text}")
file(WRITE ${EXPORTS}.decorated "${text}")
execute_process(COMMAND ${DLLTOOL} -k -d ${EXPORTS}.decorated -D stillreel.dll -l ${LIBRARY}
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "dlltool could not write ${LIBRARY}")
endif()
