# The Windows modules as a host and the system loader see them (cmake -P):
#   -DOBJDUMP=<objdump of the target> -DENGINE=<kestdll.dll>
#   -DHOST_SERVICES=<valcore.dll> [-DHOST=<dbfrecover.exe>]
# Each library exports exactly its entry points under their plain names, as
# the C calling convention gives them in both the 32- and the 64-bit build
# (no leading underscore, no "@<bytes>"). A module may import only from the
# system's own libraries: the compiler's runtime is linked in, so that the
# engine, the host-services library and the host run with nothing beside
# them but each other.
cmake_minimum_required(VERSION 3.20)

set(EXPORTS
  "${ENGINE}=FileRecover,FileRecoverEx,SetBreakFlag,GetDllVersion,isEnvReady,LoadValcore"
  "${HOST_SERVICES}=Initialize,NotifyMsg,GetFileName,GetMenuItemText,AfterProc,HiBox,\
GetPassword,CheckVersion,GetFullName,GetString,ReadProfileInt,ReadProfileString,\
SaveProfileString")
set(MODULES ${ENGINE} ${HOST_SERVICES} ${HOST})
set(system_dlls kernel32.dll advapi32.dll msvcrt.dll)

function(dump module out)
  execute_process(COMMAND ${OBJDUMP} -p ${module} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${module} failed")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(failures "")
foreach(entry IN LISTS EXPORTS)
  string(REPLACE "=" ";" parts "${entry}")
  list(GET parts 0 module)
  list(GET parts 1 wanted)
  string(REPLACE "," ";" wanted "${wanted}")
  dump(${module} text)
  # The names follow the "[Ordinal/Name Pointer] Table" line, one a line
  # ("[   0] FileRecover"); brackets would upset CMake's lists.
  string(REPLACE "[" "<" text "${text}")
  string(REPLACE "]" ">" text "${text}")
  string(REGEX MATCH "<Ordinal/Name Pointer> Table\n([^\n]+\n)+" table "${text}")
  string(REPLACE "\n" ";" lines "${table}")
  set(names "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*< *[0-9]+> (.+)$")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  list(SORT names)
  list(SORT wanted)
  if(NOT names STREQUAL wanted)
    string(APPEND failures "${module} exports [${names}], not [${wanted}]\n")
  endif()
endforeach()

foreach(module IN LISTS MODULES)
  dump(${module} text)
  string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${text}")
  foreach(line IN LISTS lines)
    string(SUBSTRING "${line}" 10 -1 dll)
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" lower)
    if(NOT lower IN_LIST system_dlls)
      string(APPEND failures "${module} needs ${dll}, which is not a system library\n")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
